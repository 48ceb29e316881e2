{ A program built against the Windows kit's delphi/vtl.pas: send SERVER
  sends one mail there, reads the send's detail with VTLLastError and calls
  VTLInternet with an empty target, which must give 0, so that every import
  is used. Exits with the result of the send, 100 when VTLInternet did not
  give 0, or 101 when the send left no detail. }
program send;

{$MODE DELPHI}

uses
  vtl;

var
  Code: Integer;
  Detail: array[0..1024] of AnsiChar;
begin
  Code := VTLSendMail(PAnsiChar(AnsiString(ParamStr(1))), 'a@example.com', 'Kit',
    'b@example.com', 'B', 'From Pascal', 'Hello from Pascal'#13#10);
  { The server's reply, or why the mail did not go: read before VTLInternet's
    detail takes its place. }
  if VTLLastError(Detail, SizeOf(Detail)) <= 0 then
    Code := 101
  else
    WriteLn('result ', Code, ': ', PAnsiChar(@Detail[0]));
  if VTLInternet(nil, '') <> 0 then
    Code := 100;
  Halt(Code);
end.
