{ A program built against the Windows kit's delphi/vtl.pas: send SERVER
  sends one mail there and calls VTLInternet with an empty target, which
  must give 0, so that both imports are used. Exits with the result of the
  send, or 100 when VTLInternet did not give 0. }
program send;

{$MODE DELPHI}

uses
  vtl;

var
  Code: Integer;
begin
  Code := VTLSendMail(PAnsiChar(AnsiString(ParamStr(1))), 'a@example.com', 'Kit',
    'b@example.com', 'B', 'From Pascal', 'Hello from Pascal'#13#10);
  if VTLInternet(nil, '') <> 0 then
    Code := 100;
  Halt(Code);
end.
