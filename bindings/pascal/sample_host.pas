{ A small host of kvopros2 in Object Pascal: sample_host HOST PORT LOGFILE.

  It goes through a host's steps: show the library's log lines as they come,
  create the client, declare channels with their attributes, wait for the
  login, hand over values of several types, take the server's controls and
  answer each with the channel's new value, read the counters, destroy the
  client. Exit code 0 when every step went as expected.

  Free Pascal, Linux:  fpc -Fl<lib folder> sample_host.pas
  Free Pascal, Windows (32-bit):  fpc -Pi386 sample_host.pas
  Delphi: a console project with this file as its program; the source is
  UTF-8 (add the BOM or compile with --codepage:65001). }
program sample_host;

{$IFDEF FPC}
  {$MODE DELPHI}
  {$CODEPAGE UTF8}
{$ENDIF}
{$IFDEF MSWINDOWS}
  {$APPTYPE CONSOLE}
{$ENDIF}

uses
  { The log callback runs on the library's thread: the RTL must know threads. }
  {$IFDEF UNIX} cthreads, cwstring, {$ENDIF}
  SysUtils, DateUtils, kvopros2;

const
  WaitMilliseconds = 60000;

var
  Failures: Integer = 0;
  LogLines: Integer = 0;
  Stamp: TKvFileTime;
  { Standard output for the log lines: a text file of their own, since the
    RTL's Output is not made to be written from two threads. }
  LogOutput: TextFile;

procedure Check(Ok: Boolean; const What: string);
begin
  if not Ok then
  begin
    WriteLn(ErrOutput, 'sample: FAILED: ', What);
    Inc(Failures);
  end;
end;

{ On the library's worker thread, one line at a time; nothing may raise out
  of it. }
procedure ShowLogLine(Context: Pointer; Level: LongInt; Line: PAnsiChar); cdecl;
var
  Name: string;
begin
  try
    Inc(LogLines); { one writer; read once the callback is removed }
    case Level of
      KVOPROS2_LOG_ERROR: Name := 'ERROR';
      KVOPROS2_LOG_WARNING: Name := 'WARNING';
      KVOPROS2_LOG_INFO: Name := 'INFO';
      KVOPROS2_LOG_DEBUG: Name := 'DEBUG';
    else
      Name := IntToStr(Level);
    end;
    WriteLn(LogOutput, 'log ', Name, '| ', KvFromText(Line));
    Flush(LogOutput);
  except
  end;
end;

function Declare(const Addr: UnicodeString; DataType: Word; WriteEnable, SaveValue: Boolean;
  const Comments, UnitText, Format: UnicodeString; Signification: Word;
  const EnumTexts: UnicodeString): Boolean;
begin
  Result := c_RegisterChannel(PAnsiChar(KvText(Addr)), DataType, WriteEnable,
    SaveValue, PAnsiChar(KvText(Comments)), nil, PAnsiChar(KvText(UnitText)),
    PAnsiChar(KvText(Format)), nil, Signification, PAnsiChar(KvText(EnumTexts)));
end;

{ Hands over a value and frees what the variant holds. }
function Hand(const Addr: UnicodeString; Value: TKvVariant; Quality: Word): Boolean;
begin
  Result := c_RegisterValueByID(PAnsiChar(KvText(Addr)), @Stamp, Quality, Value);
  KvClear(Value);
end;

function Attribute(const Addr: UnicodeString; Id, DataType: Word; Value: TKvVariant): Boolean;
begin
  Result := c_RegisterAttribute(PAnsiChar(KvText(Addr)), Id, DataType, Value);
  KvClear(Value);
end;

function ValueText(const V: TKvVariant): UnicodeString;
begin
  case V.VType of
    VT_BOOL: if V.VBoolean then Result := 'true' else Result := 'false';
    VT_BSTR: Result := KvOleText(V.VOleStr);
  else
    Result := '(kind ' + UnicodeString(IntToStr(V.VType)) + ')';
  end;
end;

procedure TakeControls;
var
  Addr: array[0..255] of AnsiChar;
  Number: kv_uint32;
  Time: TKvFileTime;
  Quality: Word;
  Value: TKvVariant;
  Taken, Waited: Integer;
  Texts: array[0..1] of UnicodeString;
  When: TDateTime;
begin
  Taken := 0;
  Waited := 0;
  while (Taken < 2) and (Waited < WaitMilliseconds) do
    if c_ReceiveControl(Addr, SizeOf(Addr), @Number, @Time, @Quality, @Value) then
    begin
      Texts[Taken] := ValueText(Value);
      When := KvDateTime(Time);
      WriteLn('control ', KvFromText(Addr), ' quality ', Quality, ' time ',
        FormatDateTime('yyyy-mm-dd hh:nn:ss.zzz', When), ' value ', Texts[Taken]);
      { The channel takes the commanded value, stamped with the control's time
        as the host keeps it. }
      Stamp := KvFileTime(When);
      Check(c_RegisterValueByID(Addr, @Stamp, Quality, Value), 'answer ' + KvFromText(Addr));
      KvClear(Value); { the control's value is the host's to free }
      Inc(Taken);
    end
    else
    begin
      Sleep(10);
      Inc(Waited, 10);
    end;
  Check(Taken = 2, 'two controls');
  Check((Taken = 2) and (Texts[0] = 'true') and (Texts[1] = 'Норма'), 'the controls'' values');
end;

function ReadStatistics: TKvStatistics;
begin
  FillChar(Result, SizeOf(Result), 0);
  Result.size := SizeOf(Result);
  Check(c_GetStatistics(@Result), 'read the statistics');
end;

var
  Stats: TKvStatistics;
  Waited: Integer;
  Why: LongInt;
begin
  if ParamCount <> 3 then
  begin
    WriteLn(ErrOutput, 'usage: sample_host HOST PORT LOGFILE');
    Halt(2);
  end;
  Check(SizeOf(TKvVariant) = 16, 'a VARIANT of 16 bytes');
  Check(SizeOf(TKvStatistics) = 232, 'kv_statistics of 232 bytes');
  { The callback runs on a thread the RTL did not start: the memory manager
    must lock. }
  IsMultiThread := True;
  AssignFile(LogOutput, '');
  Rewrite(LogOutput);
  c_SetLogCallback(ShowLogLine, nil);
  { Rotate the log at 1 MiB, keeping 3 older files. }
  Check(c_SetOption(KVOPROS2_OPTION_LOG_MAX_BYTES, 1 shl 20), 'set the log size');
  Check(c_SetOption(KVOPROS2_OPTION_LOG_FILES, 3), 'set the log files');
  if not c_CreateOpros(PAnsiChar(AnsiString(ParamStr(1))), StrToInt(ParamStr(2)), 10, 'bindings',
    '', False, True, PAnsiChar(AnsiString(ParamStr(3)))) then
  begin
    WriteLn(ErrOutput, 'sample: c_CreateOpros failed');
    Halt(1);
  end;

  Check(Declare('Bind.Level', KVOPROS2_TYPE_FLOAT8, False, True, 'Уровень в баке', 'м', '%.2f',
    KVOPROS2_SIGNIFICATION_MONITOR, ''), 'declare Bind.Level');
  Check(Declare('Bind.Count', KVOPROS2_TYPE_INT4, False, False, '', '', '', 0, ''),
    'declare Bind.Count');
  Check(Declare('Bind.Small', KVOPROS2_TYPE_INT2, False, False, '', '', '', 0, ''),
    'declare Bind.Small');
  Check(Declare('Bind.Ratio', KVOPROS2_TYPE_FLOAT4, False, False, '', '', '', 0, ''),
    'declare Bind.Ratio');
  Check(Declare('Bind.Byte', KVOPROS2_TYPE_UINT1, False, False, '', '', '', 0, ''),
    'declare Bind.Byte');
  Check(Declare('Bind.Flag', KVOPROS2_TYPE_BOOLEAN, False, False, '', '', '', 0, ''),
    'declare Bind.Flag');
  Check(Declare('Bind.Mode', KVOPROS2_TYPE_STRING, True, False, '', '', '', 0, ''),
    'declare Bind.Mode');
  Check(Declare('Bind.When', KVOPROS2_TYPE_DATE, False, False, '', '', '', 0, ''),
    'declare Bind.When');
  Check(Declare('Bind.Curve', KVOPROS2_TYPE_ARRAY or KVOPROS2_TYPE_FLOAT8, False, False, '', '', '',
    0, ''), 'declare Bind.Curve');
  Check(Declare('Bind.Names', KVOPROS2_TYPE_ARRAY or KVOPROS2_TYPE_STRING, False, False, '', '', '',
    0, ''), 'declare Bind.Names');
  Check(Declare('Bind.Valve', KVOPROS2_TYPE_BOOLEAN, True, False, '', '', '',
    KVOPROS2_SIGNIFICATION_CONTROL, 'Закрыт'#9'Открыт'), 'declare Bind.Valve');
  Check(Attribute('Bind.Level', KVOPROS2_ATTR_HI_LIMIT, KVOPROS2_TYPE_FLOAT8, KvDouble(4.5)),
    'set the high limit');
  Check(Attribute('Bind.Valve', KVOPROS2_ATTR_ALARM_ID, KVOPROS2_TYPE_ARRAY or KVOPROS2_TYPE_INT4,
    KvIntegerArray([1, 2, 3])), 'set the alarm id');
  WriteLn('sample: declared 11 channels');

  Waited := 0;
  while (c_IsServerConnected = 0) and (Waited < WaitMilliseconds) do
  begin
    Sleep(10);
    Inc(Waited, 10);
  end;
  Check(c_IsServerConnected = 1, 'log in');
  WriteLn('sample: logged in');

  Stamp := KvFileTime(EncodeDateTime(2024, 1, 2, 3, 4, 5, 678));
  Check(Hand('Bind.Level', KvDouble(1.5), KVOPROS2_QUALITY_GOOD), 'hand over Bind.Level');
  Check(Hand('Bind.Count', KvInteger(42), KVOPROS2_QUALITY_GOOD), 'hand over Bind.Count');
  Check(Hand('Bind.Small', KvSmallInt(-7), KVOPROS2_QUALITY_GOOD), 'hand over Bind.Small');
  Check(Hand('Bind.Ratio', KvSingle(0.25), KVOPROS2_QUALITY_GOOD), 'hand over Bind.Ratio');
  Check(Hand('Bind.Byte', KvByte(200), KVOPROS2_QUALITY_GOOD), 'hand over Bind.Byte');
  Check(Hand('Bind.Flag', KvBoolean(True), KVOPROS2_QUALITY_GOOD), 'hand over Bind.Flag');
  Check(Hand('Bind.Mode', KvString('Авария'), KVOPROS2_QUALITY_GOOD), 'hand over Bind.Mode');
  Check(Hand('Bind.When', KvDate(EncodeDateTime(2024, 5, 6, 7, 8, 9, 10)), KVOPROS2_QUALITY_GOOD),
    'hand over Bind.When');
  Check(Hand('Bind.Curve', KvDoubleArray([1.0, 2.5, -3.0]), KVOPROS2_QUALITY_GOOD),
    'hand over Bind.Curve');
  Check(Hand('Bind.Names', KvStringArray(['Стоп', 'Пуск']), KVOPROS2_QUALITY_GOOD),
    'hand over Bind.Names');
  { A bad quality keeps the channel's value and sends the quality with it. }
  Check(Hand('Bind.Count', KvInteger(43), KVOPROS2_QUALITY_NO_LINK), 'a value of no link');
  Check(not Hand('Bind.Missing', KvInteger(1), KVOPROS2_QUALITY_GOOD),
    'an undeclared channel is refused');
  { KvClear after the call left the result alone: only the c_ exports set it. }
  Why := c_GetLastResult;
  WriteLn('sample: Bind.Missing refused, last result ', Why);
  Check(Why = KVOPROS2_RESULT_UNKNOWN_CHANNEL, 'the reason of the refusal');
  WriteLn('sample: values handed over');
  Flush(Output);

  TakeControls;
  { Closing does not wait for values still to send: wait until they went out. }
  Waited := 0;
  while (ReadStatistics.channelsWaiting > 0) and (Waited < WaitMilliseconds) do
  begin
    Sleep(10);
    Inc(Waited, 10);
  end;

  Stats := ReadStatistics;
  WriteLn('statistics: logins ', Stats.logins, ', controls received ', Stats.controlsReceived,
    ', channels registered ', Stats.channelsRegistered);
  Check((Stats.channelsWaiting = 0) and (Stats.logins = 1) and (Stats.controlsReceived = 2) and
    (Stats.channelsRegistered = 11), 'send the answers; the counters');
  Check(c_DestroyOpros, 'destroy the client');
  c_SetLogCallback(nil, nil);
  Check(LogLines > 0, 'the log lines came');
  if Failures = 0 then
    WriteLn('sample: done')
  else
  begin
    WriteLn('sample: FAILED');
    Halt(1);
  end;
end.
