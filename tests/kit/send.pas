{ A program built against the Windows kit's delphi/vtl.pas: send SERVER
  checks VTLUrlEncode on texts whose encoding is known, in the ANSI code page
  and in UTF-8 (the test runs it under code page 1252; exit 102 when one
  differs). It then gives SERVER, a plain SMTP server on port 25, as an
  smtp:// URL with an encoded user and password: the URL must be read as
  well formed, and the send end with 8 for want of STARTTLS (exit 103
  otherwise). Then it sends four mails there, one with each send call,
  reading each send's detail with VTLLastErrorText: VTLSendMail's;
  VTLSendMailEx's to two recipients and a Bcc, with the file kit.txt of the
  current folder and a header line; and the W forms', with Japanese names
  and subjects, VTLSendMailExW's with a file whose name is Japanese. Then it
  calls VTLInternet and VTLInternetW with an empty target, which must give
  0, and VTLSignIn and VTLSignOut with an empty account, which must give 5,
  so that every import is used. Exits with 0 when all went well; else
  with the result of the first send that failed plus 20 times its place
  (0 to 3), 100 when VTLInternet or VTLInternetW did not give 0, 101
  when a send left no detail, or 104 when VTLSignIn or VTLSignOut did not
  give 5. }
program send;

{$MODE DELPHI}

uses
  vtl;

{ Whether VTLUrlEncode gives Expected for Text; says what it gave if not. }
function Encodes(const Text, Expected: string; Utf8: Boolean = False): Boolean;
begin
  Result := VTLUrlEncode(Text, Utf8) = Expected;
  if not Result then
    WriteLn('VTLUrlEncode gave ', VTLUrlEncode(Text, Utf8), ', not ', Expected);
end;

var
  Place: Integer;

{ What a send comes to: 0 when it delivered and left its detail; counts the
  sends. }
function Checked(Code: Integer): Integer;
var
  Detail: string;
begin
  { The server's reply, or why the mail did not go: read before the next
    call's detail takes its place. }
  Detail := VTLLastErrorText;
  WriteLn('send ', Place, ': result ', Code, ': ', Detail);
  if Detail = '' then
    Result := 101
  else if Code = VTL_SEND_OK then
    Result := 0
  else
    Result := Code + 20 * Place;
  Inc(Place);
end;

var
  Code: Integer;
  Server: string;
  WideServer: UnicodeString;
begin
  { Reserved characters, a space, '%' itself and a byte outside ASCII; each
    edge of the unreserved ranges; a control byte keeps its leading zero. }
  if not (Encodes('p@ss:w#rd %/?'#$E9, 'p%40ss%3Aw%23rd%20%25%2F%3F%E9') and
    Encodes('/09:@AZ[`az{~'#$7F, '%2F09%3A%40AZ%5B%60az%7B~%7F') and
    Encodes('-._'#1';', '-._%01%3B') and Encodes('', '')) then
    Halt(102);
  { The same in UTF-8: e acute and the euro sign of code page 1252. }
  if not (Encodes('p@ss:w#rd %/?', 'p%40ss%3Aw%23rd%20%25%2F%3F', True) and
    Encodes('caf'#$E9' '#$80, 'caf%C3%A9%20%E2%82%AC', True) and Encodes('', '', True)) then
    Halt(102);

  Server := 'smtp://' + VTLUrlEncode('kit@example.com') + ':' +
    VTLUrlEncode('p@ss:w#rd %/?;AUTH=PLAIN') + '@' + ParamStr(1) + ':25';
  Code := VTLSendMail(PAnsiChar(AnsiString(Server)), 'a@example.com', 'Kit',
    'b@example.com', 'B', 'From Pascal', 'Not sent'#13#10);
  WriteLn('smtp:// URL: result ', Code, ': ', VTLLastErrorText);
  if Code <> VTL_SEND_TLS_FAILED then
    Halt(103);

  Server := ParamStr(1);
  WideServer := UnicodeString(Server);
  Place := 0;
  Code := Checked(VTLSendMail(PAnsiChar(AnsiString(Server)), 'a@example.com', 'Kit',
    'b@example.com', 'B', 'From Pascal', 'Hello from Pascal'#13#10));
  if Code = 0 then
    Code := Checked(VTLSendMailEx(PAnsiChar(AnsiString(Server)), 'Kit <a@example.com>',
      'b@example.com; "Kit, Two" <c@example.com>', nil, 'd@example.com', 'Files from Pascal',
      'Hello again from Pascal'#13#10, 'kit.txt', 'X-Kit: Pascal'));
  { Yamada, a monthly report, a report: characters code page 1252 lacks. }
  if Code = 0 then
    Code := Checked(VTLSendMailW(PWideChar(WideServer), 'a@example.com', #$5C71#$7530,
      'b@example.com', 'B', #$6708#$5831' from Pascal', 'Hello in UTF-16 from Pascal'#13#10));
  if Code = 0 then
    Code := Checked(VTLSendMailExW(PWideChar(WideServer), #$5C71#$7530' <a@example.com>',
      'b@example.com', nil, nil, #$6708#$5831' with a file from Pascal',
      'Hello again in UTF-16 from Pascal'#13#10, #$5831#$544A'.txt', nil));
  if (VTLInternet(nil, '') <> 0) or (VTLInternetW(nil, '') <> 0) then
    Code := 100
  else if (VTLSignIn('microsoft', 'kit', nil, '') <> VTL_SEND_BAD_ARGUMENT) or
    (VTLSignOut('') <> VTL_SEND_BAD_ARGUMENT) then
    Code := 104;
  Halt(Code);
end.
