{ vtl for Delphi and Free Pascal: the functions of vtl.dll and the result
  codes of the sends and of VTLSignIn, as include/vtl.h declares them.

  VTLSendMail, VTLSendMailEx and VTLInternet take zero-terminated bytes in
  the system's ANSI code page: PAnsiChar(AnsiString(S)), which loses what
  that code page lacks. The W forms (VTLSendMailW, VTLSendMailExW,
  VTLInternetW) take UTF-16, so that every character arrives: PWideChar(S)
  for a Delphi string (2009 and later), PWideChar(UnicodeString(S)) in Free
  Pascal's Delphi mode. A 64-bit program needs the x64 vtl.dll, a 32-bit one
  the x86 vtl.dll.

  Sending over TLS with a login to two recipients with a file, and saying
  why the mail did not go:
    Server := 'smtps://' + VTLUrlEncode(User, True) + ':' +
      VTLUrlEncode(Password, True) + '@mail.example.com';
    if VTLSendMailExW(PWideChar(Server), 'Me <me@example.com>',
      'you@example.com, "Sato, Jiro" <jiro@example.com>', nil, nil,
      PWideChar(Subject), 'The report is attached.'#13#10,
      'C:\Reports\report.pdf', nil) <> VTL_SEND_OK then
      ShowMessage('Not sent: ' + VTLLastErrorText);

  Signing a Microsoft 365 mailbox in once, then sending with the kept grant
  and no password:
    if VTLSignIn('microsoft', PAnsiChar(AnsiString(ClientId)), nil,
      'yamada@contoso.com') <> VTL_SEND_OK then
      ShowMessage('Not signed in: ' + VTLLastErrorText);
    ...
    VTLSendMail('smtp://yamada@contoso.com;AUTH=XOAUTH2@smtp.office365.com',
      'yamada@contoso.com', 'Taro Yamada', 'you@example.com', 'You',
      'Subject', 'Body'#13#10); }
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
  VTL_SIGN_IN_NOT_FINISHED = 11;     { (VTLSignIn) no browser, or the user did not finish in time }

  VtlLibrary = 'vtl.dll';

{ Sends one mail and blocks until the dialogue is over; returns a VTL_SEND_*
  code. Server is a host name (SMTP on port 25) or an smtps:// or smtp://
  URL, as vtl.h describes. }
function VTLSendMail(Server, FromAddress, FromName, ToAddress, ToName, Subject,
  Body: PAnsiChar): Integer; stdcall; external VtlLibrary name 'VTLSendMail';

{ Sends one message to several recipients and blocks until the dialogue is
  over. FromMailbox is one address, with a display name or without
  ('Taro <taro@example.jp>'); ToList, CcList and BccList are addresses
  separated by commas or semicolons (nil for none; no header shows the Bcc
  addresses); Attachments holds file paths and Headers 'Name: value' lines,
  one per line (#13#10 between them); Subject, Body, Attachments and
  Headers may be nil. If the server refuses any recipient, no one gets the
  message, and VTLLastError names each refused address. }
function VTLSendMailEx(Server, FromMailbox, ToList, CcList, BccList, Subject, Body,
  Attachments, Headers: PAnsiChar): Integer; stdcall;
  external VtlLibrary name 'VTLSendMailEx';

{ Opens Target (a web address, a document or a program) with the handler the
  desktop associates with it. Window is the owner window (an HWND) or nil.
  Returns 1 when the desktop took the request, else 0. }
function VTLInternet(Window: Pointer; Target: PAnsiChar): Integer; stdcall;
  external VtlLibrary name 'VTLInternet';

{ The W forms: the same calls, their texts in UTF-16. They behave as the
  calls above on a system whose code page is UTF-8; Japanese mode still
  follows the user's locale. }
function VTLSendMailW(Server, FromAddress, FromName, ToAddress, ToName, Subject,
  Body: PWideChar): Integer; stdcall; external VtlLibrary name 'VTLSendMailW';
function VTLSendMailExW(Server, FromMailbox, ToList, CcList, BccList, Subject, Body,
  Attachments, Headers: PWideChar): Integer; stdcall;
  external VtlLibrary name 'VTLSendMailExW';
function VTLInternetW(Window: Pointer; Target: PWideChar): Integer; stdcall;
  external VtlLibrary name 'VTLInternetW';

{ Signs Account in with an OAuth 2 provider in the user's browser and keeps
  the grant for this Windows user (under %LOCALAPPDATA%\vtl, encrypted with
  DPAPI); from then on a send to 'smtp://' + Account +
  ';AUTH=XOAUTH2@host', with no password, logs in with it, renewed as it
  runs out. Provider is 'microsoft' (or 'microsoft:TENANT' for an
  application of one tenant) or 'google'; ClientId your application's id as
  you registered it; ClientSecret nil for Microsoft, the client secret for
  Google. Blocks until the user is done, 5 minutes at most: call it from a
  worker thread in a program with a window. Returns 0 when signed in, 11
  when the user did not finish, 10 when the provider or the user refused,
  5 for a bad argument. }
function VTLSignIn(Provider, ClientId, ClientSecret, Account: PAnsiChar): Integer; stdcall;
  external VtlLibrary name 'VTLSignIn';

{ Forgets the grant kept for Account: 0, also when none was kept. }
function VTLSignOut(Account: PAnsiChar): Integer; stdcall;
  external VtlLibrary name 'VTLSignOut';

{ The detail of the last send, sign-in or VTLInternet call made on the
  calling thread (calls on other threads change nothing): one line of
  ASCII, at most 1024 bytes, that says what failed and why. Returns its length; copies at
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
  PAnsiChar(AnsiString(S)); with Utf8 as its UTF-8 bytes, for a URL given
  to a W form. }
function VTLUrlEncode(const Text: string; Utf8: Boolean = False): string;

implementation

function VTLLastErrorText: string;
var
  Buffer: array[0..1024] of AnsiChar;
begin
  VTLLastError(Buffer, SizeOf(Buffer));
  Result := string(PAnsiChar(@Buffer[0]));
end;

function VTLUrlEncode(const Text: string; Utf8: Boolean = False): string;
const
  HexDigits = '0123456789ABCDEF';
var
  Bytes: RawByteString;
  I: Integer;
  B: Byte;
begin
  if Utf8 then
    Bytes := UTF8Encode(UnicodeString(Text))
  else
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
