{ vtl for Delphi and Free Pascal: the functions of vtl.dll and the result
  codes of VTLSendMail, as include/vtl.h declares them.

  The texts are zero-terminated bytes in the system's ANSI code page; from a
  Unicode string (Delphi 2009 and later) pass PAnsiChar(AnsiString(S)).
  A 64-bit program needs the x64 vtl.dll, a 32-bit one the x86 vtl.dll. }
unit vtl;

{$IFDEF FPC}
  {$MODE DELPHI}
{$ENDIF}

interface

const
  VTL_SEND_OK = 0;                   { delivered: the server accepted the message }
  VTL_SEND_STARTUP_FAILED = 1;       { the sockets layer could not be started }
  VTL_SEND_RESOLVE_FAILED = 2;       { the server name could not be resolved }
  VTL_SEND_SOCKET_FAILED = 3;        { no socket could be created }
  VTL_SEND_CONNECT_FAILED = 4;       { no address of the server accepted the connection }
  VTL_SEND_BAD_ARGUMENT = 5;         { an argument is null, empty or not well formed }
  VTL_SEND_NO_MEMORY = 6;            { memory for the send could not be obtained }
  VTL_SEND_DIALOGUE_FAILED = 7;      { the server refused, broke off or did not answer }
  VTL_SEND_TLS_FAILED = 8;           { (URL forms) TLS could not be set up }
  VTL_SEND_CERTIFICATE_REJECTED = 9; { (URL forms) the certificate is not trusted }
  VTL_SEND_AUTH_FAILED = 10;         { (URL forms) the login was refused }

  VtlLibrary = 'vtl.dll';

{ Sends one mail and blocks until the dialogue is over; returns a VTL_SEND_*
  code. Server is a host name (SMTP on port 25) or an smtps:// or smtp://
  URL, as vtl.h describes. }
function VTLSendMail(Server, FromAddress, FromName, ToAddress, ToName, Subject,
  Body: PAnsiChar): Integer; stdcall; external VtlLibrary name 'VTLSendMail';

{ Opens Target (a web address, a document or a program) with the handler the
  desktop associates with it. Window is the owner window (an HWND) or nil.
  Returns 1 when the desktop took the request, else 0. }
function VTLInternet(Window: Pointer; Target: PAnsiChar): Integer; stdcall;
  external VtlLibrary name 'VTLInternet';

{ The detail of the last VTLSendMail or VTLInternet call made on the calling
  thread (calls on other threads change nothing): one line of ASCII, at most
  1024 bytes, that says what failed and why. Returns its length; copies at
  most Size - 1 bytes and a zero to Buffer, and nothing when Buffer is nil
  or Size is 0. A buffer of 1025 bytes always holds it:
    var Buffer: array[0..1024] of AnsiChar;
    VTLLastError(Buffer, SizeOf(Buffer));
    Detail := string(PAnsiChar(@Buffer[0])); }
function VTLLastError(Buffer: PAnsiChar; Size: Integer): Integer; stdcall;
  external VtlLibrary name 'VTLLastError';

implementation

end.
