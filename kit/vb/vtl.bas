Attribute VB_Name = "vtl"
' vtl for Visual Basic 6 and VBA: the functions of vtl.dll and the result
' codes of VTLSendMail, as vtl.h declares them.
'
' A String passed ByVal to a Declare'd function arrives as a zero-terminated
' copy in the system's ANSI code page, which is what vtl.dll reads.
' 64-bit Office needs the x64 vtl.dll; VB6 and 32-bit Office the x86 one.
'
' Where vtl.dll is found: Windows looks beside the host's program (your .exe,
' or EXCEL.EXE), in its own folders, in the current folder and on PATH; not
' beside the workbook. Error 53 (File not found: vtl.dll) means it looked in
' vain; error 48 (Error in loading DLL) most often means the DLL of the other
' architecture. For a vtl.dll kept beside the workbook, do one of these
' before the first call of a vtl function (afterwards the DLL stays loaded):
' - make the workbook's folder the current one (ChDir alone does not change
'   the drive):
'       ChDrive ThisWorkbook.Path
'       ChDir ThisWorkbook.Path
' - or load it by its full path, with this at the top of a module
'       #If VBA7 Then
'       Private Declare PtrSafe Function LoadLibrary Lib "kernel32" _
'           Alias "LoadLibraryA" (ByVal path As String) As LongPtr
'       #Else
'       Private Declare Function LoadLibrary Lib "kernel32" _
'           Alias "LoadLibraryA" (ByVal path As String) As Long
'       #End If
'   and then
'       If LoadLibrary(ThisWorkbook.Path & "\vtl.dll") = 0 Then _
'           MsgBox "vtl.dll is not beside the workbook"
'   This also works where ChDrive does not: a workbook on a \\server\share.
' A workbook opened from OneDrive or SharePoint has an https:// Path: use
' the folder's local path there. Or write the full path after Lib below.
Option Explicit

' Results of VTLSendMail (the URL forms of the server only give 8 to 10)
Public Const VTL_SEND_OK As Long = 0                   ' delivered: the server accepted the message
Public Const VTL_SEND_STARTUP_FAILED As Long = 1       ' the sockets layer could not be started
Public Const VTL_SEND_RESOLVE_FAILED As Long = 2       ' the server name could not be resolved
Public Const VTL_SEND_SOCKET_FAILED As Long = 3        ' no socket could be created
Public Const VTL_SEND_CONNECT_FAILED As Long = 4       ' no address of the server accepted the connection
Public Const VTL_SEND_BAD_ARGUMENT As Long = 5         ' an argument is empty or not well formed
Public Const VTL_SEND_NO_MEMORY As Long = 6            ' memory for the send could not be obtained
Public Const VTL_SEND_DIALOGUE_FAILED As Long = 7      ' the server refused, broke off or did not answer
Public Const VTL_SEND_TLS_FAILED As Long = 8           ' TLS could not be set up
Public Const VTL_SEND_CERTIFICATE_REJECTED As Long = 9 ' the server's certificate is not trusted
Public Const VTL_SEND_AUTH_FAILED As Long = 10         ' the login was refused

' VTLSendMail sends one mail and returns when the dialogue is over. server is
' a host name (SMTP on port 25) or an smtps:// or smtp:// URL (see vtl.h).
' VTLInternet opens target (a web address, a document or a program) with the
' handler the desktop associates with it; hWnd is the owner window or 0.
' It returns 1 when the desktop took the request, else 0.
' VTLLastError gives the detail of the last VTLSendMail or VTLInternet call
' made on the calling thread: one line of ASCII, 1024 characters at most,
' that says what failed and why. It returns the detail's length and copies
' at most size - 1 characters and a zero into buffer, which must hold size:
'     Dim detail As String, n As Long
'     detail = String$(1025, vbNullChar)
'     n = VTLLastError(detail, Len(detail))
'     detail = Left$(detail, n)
' VTLLastError(vbNullString, 0) gives the length and writes nothing.
#If VBA7 Then
Public Declare PtrSafe Function VTLSendMail Lib "vtl.dll" ( _
    ByVal server As String, ByVal fromAddress As String, ByVal fromName As String, _
    ByVal toAddress As String, ByVal toName As String, ByVal subject As String, _
    ByVal body As String) As Long
Public Declare PtrSafe Function VTLInternet Lib "vtl.dll" ( _
    ByVal hWnd As LongPtr, ByVal target As String) As Long
Public Declare PtrSafe Function VTLLastError Lib "vtl.dll" ( _
    ByVal buffer As String, ByVal size As Long) As Long
#Else
Public Declare Function VTLSendMail Lib "vtl.dll" ( _
    ByVal server As String, ByVal fromAddress As String, ByVal fromName As String, _
    ByVal toAddress As String, ByVal toName As String, ByVal subject As String, _
    ByVal body As String) As Long
Public Declare Function VTLInternet Lib "vtl.dll" ( _
    ByVal hWnd As Long, ByVal target As String) As Long
Public Declare Function VTLLastError Lib "vtl.dll" ( _
    ByVal buffer As String, ByVal size As Long) As Long
#End If

' The detail of the last VTLSendMail or VTLInternet call on this thread, as
' VTLLastError gives it: read it right after the call.
Public Function VTLLastErrorText() As String
    Dim detail As String, n As Long
    detail = String$(1025, vbNullChar)
    n = VTLLastError(detail, Len(detail))
    VTLLastErrorText = Left$(detail, n)
End Function

' Percent-encodes a user name or a password for an smtps:// or smtp:// URL
' (RFC 3986): every byte but A-Z a-z 0-9 - . _ ~ becomes %XX, so that
' "p@ss:w#rd" gives "p%40ss%3Aw%23rd". A letter outside ASCII is encoded as
' its bytes in the system's ANSI code page, the bytes vtl.dll would receive
' for it (a letter that code page lacks becomes "?").
Public Function VTLUrlEncode(ByVal text As String) As String
    Dim bytes() As Byte, i As Long, b As Long, encoded As String
    If Len(text) = 0 Then Exit Function
    bytes = StrConv(text, vbFromUnicode)
    For i = LBound(bytes) To UBound(bytes)
        b = bytes(i)
        Select Case b
        Case 48 To 57, 65 To 90, 97 To 122, 45, 46, 95, 126 ' 0-9 A-Z a-z - . _ ~
            encoded = encoded & Chr$(b)
        Case Else
            encoded = encoded & "%" & Right$("0" & Hex$(b), 2)
        End Select
    Next i
    VTLUrlEncode = encoded
End Function

' Sends one mail over TLS with a login and says how it went. Put in your
' server, account and addresses, then run it (in Office: Alt+F8); in Excel,
' with vtl.dll beside the workbook, let Windows find it first (see above).
Public Sub VTLSendExample()
    Dim server As String, result As Long
    server = "smtps://" & VTLUrlEncode("me@example.com") & ":" & _
        VTLUrlEncode("p@ss:w#rd") & "@mail.example.com"
    result = VTLSendMail(server, "me@example.com", "Me", "you@example.com", "You", _
        "Subject", "Body text" & vbCrLf)
    If result = VTL_SEND_OK Then
        MsgBox "Sent: " & VTLLastErrorText(), vbInformation
    Else
        MsgBox "Not sent (" & result & "): " & VTLLastErrorText(), vbExclamation
    End If
End Sub
