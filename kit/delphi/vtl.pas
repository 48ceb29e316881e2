{ vtl for Delphi and Free Pascal: the functions of vtl.dll and the result
  codes of VTLSendMail, as include/vtl.h declares them.

  The texts are zero-terminated bytes in the system's ANSI code page; from a
  Unicode string (Delphi 2009 and later) pass PAnsiChar(AnsiString(S)).
  A 64-bit program needs the x64 vtl.dll, a 32-bit one the x86 vtl.dll.

  Sending over TLS with a login, and saying why a mail did not go:
    Server := 'smtps://' + VTLUrlEncode(User) + ':' + VTLUrlEncode(Password) +
      '@mail.example.com';
    if VTLSendMail(PAnsiChar(AnsiString(Server)), 'me@example.com', 'Me',
      'you@example.com', 'You', 'Subject', 'Body text'#13#10) <> VTL_SEND_OK then
      ShowMessage('Not sent: ' + VTLLastErrorText); }
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

{ VTLLastError's detail as a string: read it right after the call. }
function VTLLastErrorText: string;

{ Percent-encodes a user name or a password for an smtps:// or smtp:// URL
  (RFC 3986): every byte but A-Z a-z 0-9 - . _ ~ becomes %XX, so that
  'p@ss:w#rd' gives 'p%40ss%3Aw%23rd'. A character outside ASCII is encoded
  as its bytes in AnsiString(Text), the bytes vtl.dll receives for it in
  PAnsiChar(AnsiString(S)). }
function VTLUrlEncode(const Text: string): string;

implementation

function VTLLastErrorText: string;
var
  Buffer: array[0..1024] of AnsiChar;
begin
  VTLLastError(Buffer, SizeOf(Buffer));
  Result := string(PAnsiChar(@Buffer[0]));
end;

function VTLUrlEncode(const Text: string): string;
const
  HexDigits = '0123456789ABCDEF';
var
  Bytes: AnsiString;
  I: Integer;
  B: Byte;
begin
  Bytes := AnsiString(Text);
  Result := '';
  for I := 1 to Length(Bytes) do
  begin
    B := Ord(Bytes[I]);
    case B of
      Ord('0')..Ord('9'), Ord('A')..Ord('Z'), Ord('a')..Ord('z'),
      Ord('-'), Ord('.'), Ord('_'), Ord('~'):
        Result := Result + Char(B);
    else
      Result := Result + '%' + HexDigits[(B shr 4) + 1] + HexDigits[(B and 15) + 1];
    end;
  end;
end;

end.
