Attribute VB_Name = "vtl"
' vtl for Visual Basic 6 and VBA: the functions of vtl.dll and the result
' codes of VTLSendMail, as vtl.h declares them.
'
' A String passed ByVal to a Declare'd function arrives as a zero-terminated
' copy in the system's ANSI code page, which is what vtl.dll reads.
' 64-bit Office needs the x64 vtl.dll; VB6 and 32-bit Office the x86 one.
' Windows looks for vtl.dll beside the host's program (EXCEL.EXE, your .exe)
' and on the DLL search path; else write its full path after Lib.
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
