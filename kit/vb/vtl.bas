Attribute VB_Name = "vtl"
' vtl for Visual Basic 6 and VBA: the functions of vtl.dll and the result
' codes of the sends and of VTLSignIn, as vtl.h declares them.
'
' A String passed ByVal to a Declare'd function arrives as a zero-terminated
' copy in the system's ANSI code page, which is what vtl.dll's VTLSendMail,
' VTLSendMailEx and VTLInternet read; a character that code page lacks
' arrives as "?". The W forms (VTLSendMailW, VTLSendMailExW, VTLInternetW)
' take the String itself, as UTF-16, so that every character arrives: pass
' StrPtr(text), or 0 for an argument left out. VTLSendExample below does so.
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

' Results of the sends (the URL forms of the server only give 8 to 10)
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
' Result of VTLSignIn only
Public Const VTL_SIGN_IN_NOT_FINISHED As Long = 11     ' no browser, or the user did not finish in time

' VTLSendMail sends one mail and returns when the dialogue is over. server is
' a host name (SMTP on port 25) or an smtps:// or smtp:// URL (see vtl.h).
' VTLSendMailEx sends one message to several recipients: fromMailbox is one
' address, with a display name or without ("Taro <taro@example.jp>");
' toList, ccList and bccList are addresses separated by commas or
' semicolons (vbNullString for none; no header shows the bcc addresses);
' attachments holds file paths and headers "Name: value" lines, one per
' line (vbCrLf between them). If the server refuses any recipient, no one
' gets the message, and VTLLastError names each refused address.
' VTLInternet opens target (a web address, a document or a program) with the
' handler the desktop associates with it; hWnd is the owner window or 0.
' It returns 1 when the desktop took the request, else 0.
' VTLLastError gives the detail of the last send, sign-in or VTLInternet
' call made on the calling thread: one line of ASCII, 1024 characters at most,
' that says what failed and why. It returns the detail's length and copies
' at most size - 1 characters and a zero into buffer, which must hold size:
'     Dim detail As String, n As Long
'     detail = String$(1025, vbNullChar)
'     n = VTLLastError(detail, Len(detail))
'     detail = Left$(detail, n)
' VTLLastError(vbNullString, 0) gives the length and writes nothing.
' VTLSignIn signs account in with Microsoft ("microsoft") or Google
' ("google") in the user's browser, and keeps the grant for this Windows
' user; from then on a send to "smtp://" & account & ";AUTH=XOAUTH2@host",
' with no password, logs in with it. clientId is your application's id as
' you registered it; clientSecret is vbNullString for Microsoft, the
' client secret for Google. It blocks until the user is done (5 minutes at
' most) and returns 0 when signed in, 11 when the user did not finish,
' 10 when the provider or the user refused. VTLSignOut forgets the grant.
' VTLSignInButton_Click at the end shows it.
#If VBA7 Then
Public Declare PtrSafe Function VTLSendMail Lib "vtl.dll" ( _
    ByVal server As String, ByVal fromAddress As String, ByVal fromName As String, _
    ByVal toAddress As String, ByVal toName As String, ByVal subject As String, _
    ByVal body As String) As Long
Public Declare PtrSafe Function VTLSendMailEx Lib "vtl.dll" ( _
    ByVal server As String, ByVal fromMailbox As String, ByVal toList As String, _
    ByVal ccList As String, ByVal bccList As String, ByVal subject As String, _
    ByVal body As String, ByVal attachments As String, ByVal headers As String) As Long
Public Declare PtrSafe Function VTLInternet Lib "vtl.dll" ( _
    ByVal hWnd As LongPtr, ByVal target As String) As Long
Public Declare PtrSafe Function VTLLastError Lib "vtl.dll" ( _
    ByVal buffer As String, ByVal size As Long) As Long
Public Declare PtrSafe Function VTLSendMailW Lib "vtl.dll" ( _
    ByVal server As LongPtr, ByVal fromAddress As LongPtr, ByVal fromName As LongPtr, _
    ByVal toAddress As LongPtr, ByVal toName As LongPtr, ByVal subject As LongPtr, _
    ByVal body As LongPtr) As Long
Public Declare PtrSafe Function VTLSendMailExW Lib "vtl.dll" ( _
    ByVal server As LongPtr, ByVal fromMailbox As LongPtr, ByVal toList As LongPtr, _
    ByVal ccList As LongPtr, ByVal bccList As LongPtr, ByVal subject As LongPtr, _
    ByVal body As LongPtr, ByVal attachments As LongPtr, ByVal headers As LongPtr) As Long
Public Declare PtrSafe Function VTLInternetW Lib "vtl.dll" ( _
    ByVal hWnd As LongPtr, ByVal target As LongPtr) As Long
Public Declare PtrSafe Function VTLSignIn Lib "vtl.dll" ( _
    ByVal provider As String, ByVal clientId As String, ByVal clientSecret As String, _
    ByVal account As String) As Long
Public Declare PtrSafe Function VTLSignOut Lib "vtl.dll" ( _
    ByVal account As String) As Long
#Else
Public Declare Function VTLSendMail Lib "vtl.dll" ( _
    ByVal server As String, ByVal fromAddress As String, ByVal fromName As String, _
    ByVal toAddress As String, ByVal toName As String, ByVal subject As String, _
    ByVal body As String) As Long
Public Declare Function VTLSendMailEx Lib "vtl.dll" ( _
    ByVal server As String, ByVal fromMailbox As String, ByVal toList As String, _
    ByVal ccList As String, ByVal bccList As String, ByVal subject As String, _
    ByVal body As String, ByVal attachments As String, ByVal headers As String) As Long
Public Declare Function VTLInternet Lib "vtl.dll" ( _
    ByVal hWnd As Long, ByVal target As String) As Long
Public Declare Function VTLLastError Lib "vtl.dll" ( _
    ByVal buffer As String, ByVal size As Long) As Long
Public Declare Function VTLSendMailW Lib "vtl.dll" ( _
    ByVal server As Long, ByVal fromAddress As Long, ByVal fromName As Long, _
    ByVal toAddress As Long, ByVal toName As Long, ByVal subject As Long, _
    ByVal body As Long) As Long
Public Declare Function VTLSendMailExW Lib "vtl.dll" ( _
    ByVal server As Long, ByVal fromMailbox As Long, ByVal toList As Long, _
    ByVal ccList As Long, ByVal bccList As Long, ByVal subject As Long, _
    ByVal body As Long, ByVal attachments As Long, ByVal headers As Long) As Long
Public Declare Function VTLInternetW Lib "vtl.dll" ( _
    ByVal hWnd As Long, ByVal target As Long) As Long
Public Declare Function VTLSignIn Lib "vtl.dll" ( _
    ByVal provider As String, ByVal clientId As String, ByVal clientSecret As String, _
    ByVal account As String) As Long
Public Declare Function VTLSignOut Lib "vtl.dll" ( _
    ByVal account As String) As Long
#End If

' For the sign-in example at the end: the application (client) id of your
' registration in Microsoft Entra, and the mailbox to sign in.
Private Const CLIENT_ID As String = "00000000-0000-0000-0000-000000000000"
Private Const SIGN_IN_ACCOUNT As String = "yamada@contoso.com"

' The detail of the last send, sign-in or VTLInternet call on this thread,
' as VTLLastError gives it: read it right after the call.
Public Function VTLLastErrorText() As String
    Dim detail As String, n As Long
    detail = String$(1025, vbNullChar)
    n = VTLLastError(detail, Len(detail))
    VTLLastErrorText = Left$(detail, n)
End Function

' Percent-encodes a user name or a password for an smtps:// or smtp:// URL
' (RFC 3986): every byte but A-Z a-z 0-9 - . _ ~ becomes %XX, so that
' "p@ss:w#rd" gives "p%40ss%3Aw%23rd". A letter outside ASCII is encoded as
' its bytes in the system's ANSI code page, the bytes VTLSendMail and
' VTLSendMailEx receive for it (a letter that code page lacks becomes "?");
' with utf8 True as its UTF-8 bytes, for a URL given to a W form.
Public Function VTLUrlEncode(ByVal text As String, Optional ByVal utf8 As Boolean = False) As String
    Dim bytes() As Byte, i As Long, b As Long, encoded As String
    If Len(text) = 0 Then Exit Function
    If utf8 Then bytes = Utf8Bytes(text) Else bytes = StrConv(text, vbFromUnicode)
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

' The UTF-8 bytes of text (RFC 3629): a pair of surrogates is one character,
' a surrogate alone U+FFFD, as vtl.dll reads it.
Private Function Utf8Bytes(ByVal text As String) As Byte()
    Dim out() As Byte, n As Long, i As Long, c As Long, low As Long
    ReDim out(0 To 3 * Len(text) - 1)
    i = 1
    Do While i <= Len(text)
        c = AscW(Mid$(text, i, 1)) And &HFFFF&
        If c >= &HD800& And c <= &HDBFF& And i < Len(text) Then
            low = AscW(Mid$(text, i + 1, 1)) And &HFFFF&
            If low >= &HDC00& And low <= &HDFFF& Then
                c = &H10000 + (c - &HD800&) * &H400& + (low - &HDC00&)
                i = i + 1
            End If
        End If
        If c >= &HD800& And c <= &HDFFF& Then c = &HFFFD&
        If c < &H80& Then
            out(n) = c
            n = n + 1
        ElseIf c < &H800& Then
            out(n) = &HC0& Or (c \ &H40&)
            out(n + 1) = &H80& Or (c And &H3F&)
            n = n + 2
        ElseIf c < &H10000 Then
            out(n) = &HE0& Or (c \ &H1000&)
            out(n + 1) = &H80& Or ((c \ &H40&) And &H3F&)
            out(n + 2) = &H80& Or (c And &H3F&)
            n = n + 3
        Else
            out(n) = &HF0& Or (c \ &H40000)
            out(n + 1) = &H80& Or ((c \ &H1000&) And &H3F&)
            out(n + 2) = &H80& Or ((c \ &H40&) And &H3F&)
            out(n + 3) = &H80& Or (c And &H3F&)
            n = n + 4
        End If
        i = i + 1
    Loop
    ReDim Preserve out(0 To n - 1)
    Utf8Bytes = out
End Function

' Sends one mail over TLS with a login to two recipients, with a copy to a
' third and two files, and says how it went. The subject is Japanese ("the
' monthly report", written with ChrW so that this module stays ASCII): the W
' form sends it intact on a system of any code page. Put in your server,
' account, addresses and file, then run it (in Office: Alt+F8); in Excel,
' with vtl.dll beside the workbook, let Windows find it first (see above).
Public Sub VTLSendExample()
    Dim server As String, subject As String, files As String, result As Long
    server = "smtps://" & VTLUrlEncode("me@example.com", True) & ":" & _
        VTLUrlEncode("p@ss:w#rd", True) & "@mail.example.com"
    subject = ChrW(&H6708) & ChrW(&H5831) & " (monthly report)"
    files = "C:\Reports\report.pdf" & vbCrLf & "C:\Reports\figures.xlsx"
    result = VTLSendMailExW(StrPtr(server), StrPtr("Me <me@example.com>"), _
        StrPtr("you@example.com, ""Sato, Jiro"" <jiro@example.com>"), _
        StrPtr("boss@example.com"), 0, StrPtr(subject), _
        StrPtr("The report is attached." & vbCrLf), StrPtr(files), _
        StrPtr("Reply-To: reports@example.com"))
    If result = VTL_SEND_OK Then
        MsgBox "Sent: " & VTLLastErrorText(), vbInformation
    Else
        MsgBox "Not sent (" & result & "): " & VTLLastErrorText(), vbExclamation
    End If
End Sub

' A "Sign in" button and a send with the grant it keeps, for a Microsoft 365
' mailbox (CLIENT_ID and SIGN_IN_ACCOUNT above): assign VTLSignInButton_Click
' to a button (in Excel: Developer > Insert > Button) and run it once; then
' VTLSendSignedIn sends as often as you like, with no password asked for or
' kept in the workbook. While the user signs in, in the browser, the host
' waits (Office may show "Not Responding"); it gives up after 5 minutes.
Public Sub VTLSignInButton_Click()
    Dim result As Long
    result = VTLSignIn("microsoft", CLIENT_ID, vbNullString, SIGN_IN_ACCOUNT)
    If result = VTL_SEND_OK Then
        MsgBox "Signed in as " & SIGN_IN_ACCOUNT, vbInformation
    Else
        MsgBox "Not signed in (" & result & "): " & VTLLastErrorText(), vbExclamation
    End If
End Sub

Public Sub VTLSendSignedIn()
    Dim result As Long
    result = VTLSendMail("smtp://" & SIGN_IN_ACCOUNT & ";AUTH=XOAUTH2@smtp.office365.com", _
        SIGN_IN_ACCOUNT, "Taro Yamada", "hanako@example.jp", "Hanako Sato", _
        "Monthly report", "The report is ready." & vbCrLf)
    If result = VTL_SEND_OK Then
        MsgBox "Sent: " & VTLLastErrorText(), vbInformation
    Else
        ' 10 with no grant kept, or one the provider no longer takes: sign in again.
        MsgBox "Not sent (" & result & "): " & VTLLastErrorText(), vbExclamation
    End If
End Sub
