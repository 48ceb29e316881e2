{ A program built against the Windows kit's delphi/vtl.pas: send SERVER
  checks VTLUrlEncode on texts whose encoding is known (exit 102 when one
  differs). It then gives SERVER, a plain SMTP server on port 25, as an
  smtp:// URL with an encoded user and password: the URL must be read as
  well formed, and the send end with 8 for want of STARTTLS (exit 103
  otherwise). Then it sends one mail there, reads the send's detail with
  VTLLastErrorText and calls VTLInternet with an empty target, which must
  give 0, so that every import is used. Exits with the result of the send,
  100 when VTLInternet did not give 0, or 101 when the send left no detail. }
program send;

{$MODE DELPHI}

uses
  vtl;

{ Whether VTLUrlEncode gives Expected for Text; says what it gave if not. }
function Encodes(const Text, Expected: string): Boolean;
begin
  Result := VTLUrlEncode(Text) = Expected;
  if not Result then
    WriteLn('VTLUrlEncode gave ', VTLUrlEncode(Text), ', not ', Expected);
end;

var
  Code: Integer;
  Server, Detail: string;
begin
  { Reserved characters, a space, '%' itself and a byte outside ASCII; each
    edge of the unreserved ranges; a control byte keeps its leading zero. }
  if not (Encodes('p@ss:w#rd %/?'#$E9, 'p%40ss%3Aw%23rd%20%25%2F%3F%E9') and
    Encodes('/09:@AZ[`az{~'#$7F, '%2F09%3A%40AZ%5B%60az%7B~%7F') and
    Encodes('-._'#1';', '-._%01%3B') and Encodes('', '')) then
    Halt(102);

  Server := 'smtp://' + VTLUrlEncode('kit@example.com') + ':' +
    VTLUrlEncode('p@ss:w#rd %/?;AUTH=PLAIN') + '@' + ParamStr(1) + ':25';
  Code := VTLSendMail(PAnsiChar(AnsiString(Server)), 'a@example.com', 'Kit',
    'b@example.com', 'B', 'From Pascal', 'Not sent'#13#10);
  WriteLn('smtp:// URL: result ', Code, ': ', VTLLastErrorText);
  if Code <> VTL_SEND_TLS_FAILED then
    Halt(103);

  Code := VTLSendMail(PAnsiChar(AnsiString(ParamStr(1))), 'a@example.com', 'Kit',
    'b@example.com', 'B', 'From Pascal', 'Hello from Pascal'#13#10);
  { The server's reply, or why the mail did not go: read before VTLInternet's
    detail takes its place. }
  Detail := VTLLastErrorText;
  WriteLn('result ', Code, ': ', Detail);
  if Detail = '' then
    Code := 101;
  if VTLInternet(nil, '') <> 0 then
    Code := 100;
  Halt(Code);
end.
