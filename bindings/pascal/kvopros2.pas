{ kvopros2: the client library of the Kavrel monitoring server, for Object
  Pascal hosts.

  One unit for Delphi (2009 or later) and Free Pascal on 32-bit Windows,
  where it binds kvopros2.dll, and for Free Pascal on Linux, where it binds
  libkvopros2.so (link with -Fl<folder of the library>; at run time the
  library must be on the loader's path). It declares every export with the C
  calling convention under its name on that platform (the 32-bit DLL's
  decorated _c_ names, the plain ones on Linux), the constants of
  kvopros2.h, kv_statistics with the same layout, and a few helpers that
  make the VARIANTs, texts and times the exports take.

  What the exports expect is documented in kvopros2.h; in short:
  - Texts are zero-terminated Windows-1251: pass PAnsiChar(KvText('...')).
  - A VARIANT is passed by value: 16 bytes on the stack (Windows) or in two
    registers (Linux), as a C compiler passes it. On Windows it is the RTL's
    TVarData, so an OleVariant goes as TVarData(V); on Linux TKvVariant is
    the library's own 16-byte layout with TVarData's field names. The
    library never frees what it is given: clear variants made by KvString
    and the array helpers with KvClear after the call. A control's value
    (c_ReceiveControl) is the host's to clear as well.
  - Times are FILETIMEs of the host's local time (KvFileTime).
  - c_GetLastResult tells why the calling thread's last call answered as it
    did (a KVOPROS2_RESULT_ code).
  - A log callback (c_SetLogCallback) is a TKvLogCallback: cdecl, called on
    the library's worker thread, with the line valid during the call only.
    Pascal code run on a thread the RTL did not start needs the RTL ready
    for threads: on Unix Free Pascal the program uses cthreads as its first
    unit, and every program sets IsMultiThread := True before it sets a
    callback (so that the memory manager locks). The callback must not let
    an exception out. }
unit kvopros2;

{$IFDEF FPC}
  {$MODE DELPHI}
{$ENDIF}

{$IFDEF WIN64}
  {$MESSAGE ERROR 'kvopros2.dll is a 32-bit DLL: build this host for 32-bit Windows'}
{$ENDIF}

interface

uses
  SysUtils;

const
{$IFDEF MSWINDOWS}
  KvLibrary = 'kvopros2.dll';
  { The 32-bit DLL exports its cdecl functions with the C decoration. }
  KvDecoration = '_';
  KvOleLibrary = 'oleaut32.dll';
{$ELSE}
  KvLibrary = 'kvopros2';
  KvDecoration = '';
{$ENDIF}

  { The version of the library this unit was made with. }
  KVOPROS2_VERSION_MAJOR = 1;
  KVOPROS2_VERSION_MINOR = 2;
  KVOPROS2_VERSION_PATCH = 0;

  { Data types of channels and attributes. }
  KVOPROS2_TYPE_EMPTY = 0;
  KVOPROS2_TYPE_INT2 = 2;
  KVOPROS2_TYPE_INT4 = 3;
  KVOPROS2_TYPE_FLOAT4 = 4;
  KVOPROS2_TYPE_FLOAT8 = 5;
  KVOPROS2_TYPE_DATE = 7;
  KVOPROS2_TYPE_BOOLEAN = 11;
  KVOPROS2_TYPE_INT1 = 16;
  KVOPROS2_TYPE_UINT1 = 17;
  KVOPROS2_TYPE_UINT2 = 18;
  KVOPROS2_TYPE_UINT4 = 19;
  KVOPROS2_TYPE_STRING = 256;
  KVOPROS2_TYPE_ARRAY = $1000;

  { Qualities of a value. }
  KVOPROS2_QUALITY_GOOD = 0;
  KVOPROS2_QUALITY_OFF = 1;
  KVOPROS2_QUALITY_UNDEFINED = 2;
  KVOPROS2_QUALITY_SENSOR_FAULT = 3;
  KVOPROS2_QUALITY_CONTROLLER_FAULT = 4;
  KVOPROS2_QUALITY_UNRELIABLE = 5;
  KVOPROS2_QUALITY_SENSOR_DISCONNECTED = 6;
  KVOPROS2_QUALITY_NO_LINK = 7;
  KVOPROS2_QUALITY_RECORDER_FAULT = 8;

  { Attribute ids. }
  KVOPROS2_ATTR_EU_TYPE = 7;
  KVOPROS2_ATTR_EU_INFO1 = 9;
  KVOPROS2_ATTR_EU_INFO2 = 10;
  KVOPROS2_ATTR_EU_INFO3 = 11;
  KVOPROS2_ATTR_UNIT = 100;
  KVOPROS2_ATTR_COMMENTS = 101;
  KVOPROS2_ATTR_PREFIX = 112;
  KVOPROS2_ATTR_SOUND_FILE = 205;
  KVOPROS2_ATTR_ALARM_MESSAGE = 301;
  KVOPROS2_ATTR_DEADBAND = 306;
  KVOPROS2_ATTR_HIHI_LIMIT = 307;
  KVOPROS2_ATTR_HI_LIMIT = 308;
  KVOPROS2_ATTR_LO_LIMIT = 309;
  KVOPROS2_ATTR_LOLO_LIMIT = 310;
  KVOPROS2_ATTR_WATCH_LIMITS = 314;
  KVOPROS2_ATTR_DESCRIPTION = 5000;
  KVOPROS2_ATTR_CONNECTION_QUALITY = 5001;
  KVOPROS2_ATTR_FORMAT = 5002;
  KVOPROS2_ATTR_MASKED = 5003;
  KVOPROS2_ATTR_DTYPE = 5004;
  KVOPROS2_ATTR_SYSM = 5005;
  KVOPROS2_ATTR_ALARM_ID = 5006;
  KVOPROS2_ATTR_SIGNIFICATION = 5009;
  KVOPROS2_ATTR_QUALITY_TEXT = 5100;

  { What a channel measures or controls. }
  KVOPROS2_SIGNIFICATION_UNDEFINED = 0;
  KVOPROS2_SIGNIFICATION_PULSE_COUNTER = 1;
  KVOPROS2_SIGNIFICATION_UNIT_COUNTER = 2;
  KVOPROS2_SIGNIFICATION_CONTROL = 3;
  KVOPROS2_SIGNIFICATION_MONITOR = 4;
  KVOPROS2_SIGNIFICATION_INTRUSION_SENSOR = 5;
  KVOPROS2_SIGNIFICATION_FIRE_SENSOR = 6;
  KVOPROS2_SIGNIFICATION_SECURITY_STATE = 7;
  KVOPROS2_SIGNIFICATION_GAS_SENSOR = 8;
  KVOPROS2_SIGNIFICATION_TEMPERATURE = 9;
  KVOPROS2_SIGNIFICATION_MANUAL_CALL_POINT = 10;
  KVOPROS2_SIGNIFICATION_FLOOD_SENSOR = 11;
  KVOPROS2_SIGNIFICATION_ELEVATOR = 12;
  KVOPROS2_SIGNIFICATION_PRESSURE = 13;
  KVOPROS2_SIGNIFICATION_POWER = 14;
  KVOPROS2_SIGNIFICATION_ENTHALPY = 15;
  KVOPROS2_SIGNIFICATION_FLOW_RATE = 16;

  { Why the calling thread's last call answered as it did (c_GetLastResult). }
  KVOPROS2_RESULT_OK = 0;
  KVOPROS2_RESULT_UNCHANGED = 1;
  KVOPROS2_RESULT_NO_CLIENT = 2;
  KVOPROS2_RESULT_UNKNOWN_CHANNEL = 3;
  KVOPROS2_RESULT_EMPTY_ADDRESS = 4;
  KVOPROS2_RESULT_BAD_TYPE = 5;
  KVOPROS2_RESULT_TOO_LARGE = 6;
  KVOPROS2_RESULT_NOT_CONVERTIBLE = 7;
  KVOPROS2_RESULT_REPLACED = 8;
  KVOPROS2_RESULT_QUEUE_EMPTY = 9;
  KVOPROS2_RESULT_IN_CALLBACK = 10;
  KVOPROS2_RESULT_BAD_ID = 11;
  KVOPROS2_RESULT_BAD_TIME = 12;
  KVOPROS2_RESULT_BAD_ARGUMENT = 13;
  KVOPROS2_RESULT_UNKNOWN_OPTION = 14;
  KVOPROS2_RESULT_OUT_OF_RANGE = 15;
  KVOPROS2_RESULT_CLIENT_EXISTS = 16;
  KVOPROS2_RESULT_NO_RESOURCES = 17;

  { The longest channel address, in bytes. }
  KVOPROS2_MAX_ADDRESS_LENGTH = 65524;

  { Options (c_SetOption), process-wide: DEBUG_LOG 0 or 1; LOG_MAX_BYTES 0
    (no rotation) or 65536 to 2147483647; LOG_FILES 1 to 100; read at the
    next c_CreateOpros: HISTORY_BYTES 0 (no value history) or 65536 to
    536870912, HISTORY_SECONDS 0 (no age limit) or 1 to 2073600. }
  KVOPROS2_OPTION_DEBUG_LOG = 1;
  KVOPROS2_OPTION_LOG_MAX_BYTES = 2;
  KVOPROS2_OPTION_LOG_FILES = 3;
  KVOPROS2_OPTION_HISTORY_BYTES = 4;
  KVOPROS2_OPTION_HISTORY_SECONDS = 5;

  { Levels of the lines a log callback gets (names, not an order). }
  KVOPROS2_LOG_ERROR = 1;
  KVOPROS2_LOG_INFO = 2;
  KVOPROS2_LOG_DEBUG = 3;
  KVOPROS2_LOG_WARNING = 4;

  KVOPROS2_MAX_WAITING_CONTROLS = 65536;
  KVOPROS2_STATISTICS_VERSION = 3;
  KVOPROS2_STATISTICS_HEADER_SIZE = 8;

  { Status codes of the OLE helpers. }
  KV_S_OK = 0;
  KV_E_INVALIDARG = LongInt($80070057);
  KV_E_OUTOFMEMORY = LongInt($8007000E);
  KV_DISP_E_BADVARTYPE = LongInt($80020008);
  KV_DISP_E_BADINDEX = LongInt($8002000B);
  KV_DISP_E_ARRAYISLOCKED = LongInt($8002000D);

  { Kinds of a VARIANT (the RTL's varXXX numbers are the same). }
  VT_EMPTY = 0;
  VT_NULL = 1;
  VT_I2 = 2;
  VT_I4 = 3;
  VT_R4 = 4;
  VT_R8 = 5;
  VT_CY = 6;
  VT_DATE = 7;
  VT_BSTR = 8;
  VT_DISPATCH = 9;
  VT_ERROR = 10;
  VT_BOOL = 11;
  VT_VARIANT = 12;
  VT_UNKNOWN = 13;
  VT_DECIMAL = 14;
  VT_I1 = 16;
  VT_UI1 = 17;
  VT_UI2 = 18;
  VT_UI4 = 19;
  VT_I8 = 20;
  VT_UI8 = 21;
  VT_INT = 22;
  VT_UINT = 23;
  VT_ARRAY = $2000;
  VT_BYREF = $4000;

type
  kv_bool = ByteBool;
  kv_uint32 = Cardinal;
  kv_uint64 = UInt64;
  kv_int64 = Int64;
  Pkv_uint32 = ^kv_uint32;

  { The log callback: context as given to c_SetLogCallback, the line's level
    (KVOPROS2_LOG_), the line (Windows-1251, without CR LF; KvFromText makes
    a UnicodeString of it). }
  TKvLogCallback = procedure(context: Pointer; level: LongInt; line: PAnsiChar); cdecl;

  { 100-ns units since 1601-01-01, low half first. }
  TKvFileTime = record
    dwLowDateTime: Cardinal;
    dwHighDateTime: Cardinal;
  end;
  PKvFileTime = ^TKvFileTime;

{$IFDEF MSWINDOWS}
  TKvVariant = TVarData;
  PKvVariant = PVarData;
  TKvSafeArray = TVarArray;
  PKvSafeArray = PVarArray;
{$ELSE}
  TKvSafeArrayBound = record
    ElementCount: Cardinal;
    LowBound: LongInt;
  end;
  TKvSafeArray = record
    DimCount: Word;
    Flags: Word;
    ElementSize: Cardinal;
    LockCount: Cardinal;
    Data: Pointer;
    Bounds: array[0..0] of TKvSafeArrayBound;
  end;
  PKvSafeArray = ^TKvSafeArray;

  { The library's VARIANT on Linux: the kind word, three reserved words and
    8 bytes of value, 16 bytes in all, with the field names of TVarData. }
  TKvVariant = record
    VType: Word;
    Reserved1: Word;
    Reserved2: Word;
    Reserved3: Word;
    case Integer of
      0: (VInt64: Int64);
      1: (VInteger: LongInt);
      2: (VByte: Byte);
      3: (VSmallInt: SmallInt);
      4: (VSingle: Single);
      5: (VDouble: Double);
      6: (VBoolean: WordBool);
      7: (VDate: TDateTime);
      8: (VShortInt: ShortInt);
      9: (VWord: Word);
      10: (VLongWord: Cardinal);
      11: (VOleStr: PWideChar);
      12: (VArray: PKvSafeArray);
  end;
  PKvVariant = ^TKvVariant;
{$ENDIF}

  { What c_GetStatistics fills: the same offsets as kv_statistics (two
    32-bit fields, then 64-bit ones, no padding). Set size to
    SizeOf(TKvStatistics) before the call. }
  TKvStatistics = packed record
    size: kv_uint32;
    version: kv_uint32;
    connectedSince: kv_uint64;
    logins: kv_uint64;
    dropsClosedByServer: kv_uint64;
    dropsReset: kv_uint64;
    dropsWriteTimeout: kv_uint64;
    dropsLinkTest: kv_uint64;
    dropsProtocolError: kv_uint64;
    dropsLoginRefused: kv_uint64;
    bytesSent: kv_uint64;
    bytesReceived: kv_uint64;
    recordsSent: kv_uint64;
    recordsReceived: kv_uint64;
    valuesCoalesced: kv_uint64;
    channelsRegistered: kv_uint64;
    channelsActive: kv_uint64;
    channelsWaiting: kv_uint64;
    controlsReceived: kv_uint64;
    controlsWaiting: kv_uint64;
    controlsRefused: kv_uint64;
    lastError: kv_uint64;
    lastErrorTime: kv_uint64;
    { Version 2: }
    serverIndex: kv_uint64; { the server of the current (else the last) login in the host list }
    serverSwitches: kv_uint64; { logins at another server than the one of the login before }
    { Version 3, the value history: }
    historyValues: kv_uint64; { values kept now }
    historyBytes: kv_uint64; { the bytes they take }
    historyDroppedBound: kv_uint64; { the oldest kept values dropped at the bound }
    historyDroppedAge: kv_uint64; { kept values dropped for their age }
    historySent: kv_uint64; { kept values written to a connection }
  end;
  PKvStatistics = ^TKvStatistics;

{ The exports. Flags (setClock, writeEnable...) are one byte: False is 0. The
  VARIANT parameters are plain value parameters (not const, not Variant):
  that is what makes the compiler copy all 16 bytes as C does. }
function c_CreateOpros(host: PAnsiChar; port: LongInt; timeoutSec: LongInt; login: PAnsiChar;
  password: PAnsiChar; setClock: ByteBool; debugLog: ByteBool; logFile: PAnsiChar): kv_bool;
  cdecl; external KvLibrary name KvDecoration + 'c_CreateOpros';
function c_DestroyOpros: kv_bool;
  cdecl; external KvLibrary name KvDecoration + 'c_DestroyOpros';
function c_IsServerConnected: LongInt;
  cdecl; external KvLibrary name KvDecoration + 'c_IsServerConnected';
function c_RegisterChannel(addr: PAnsiChar; dataType: Word; writeEnable: ByteBool;
  saveValue: ByteBool; comments: PAnsiChar; prefix: PAnsiChar; unitText: PAnsiChar;
  formatString: PAnsiChar; description: PAnsiChar; signification: Word;
  enumTexts: PAnsiChar): kv_bool;
  cdecl; external KvLibrary name KvDecoration + 'c_RegisterChannel';
function c_RegisterValueByID(addr: PAnsiChar; time: PKvFileTime; quality: Word;
  value: TKvVariant): kv_bool;
  cdecl; external KvLibrary name KvDecoration + 'c_RegisterValueByID';
function c_RegisterAttribute(addr: PAnsiChar; id: Word; dataType: Word;
  value: TKvVariant): kv_bool;
  cdecl; external KvLibrary name KvDecoration + 'c_RegisterAttribute';
function c_ReceiveControl(addrBuf: PAnsiChar; addrBufSize: LongInt; number: Pkv_uint32;
  time: PKvFileTime; quality: PWord; value: PKvVariant): kv_bool;
  cdecl; external KvLibrary name KvDecoration + 'c_ReceiveControl';
function c_GetStatistics(stats: PKvStatistics): kv_bool;
  cdecl; external KvLibrary name KvDecoration + 'c_GetStatistics';
function c_SetOption(option: LongInt; value: kv_int64): kv_bool;
  cdecl; external KvLibrary name KvDecoration + 'c_SetOption';
{ nil removes the callback; once it returns the previous one is never called
  again (except when called from inside the callback). }
function c_SetLogCallback(callback: TKvLogCallback; context: Pointer): kv_bool;
  cdecl; external KvLibrary name KvDecoration + 'c_SetLogCallback';
function c_GetLastResult: LongInt;
  cdecl; external KvLibrary name KvDecoration + 'c_GetLastResult';
{ The running library's version, MAJOR * 10000 + MINOR * 100 + PATCH. }
function c_GetVersion: LongInt;
  cdecl; external KvLibrary name KvDecoration + 'c_GetVersion';

{ What makes and frees BSTRs, VARIANTs and safe arrays: the library's kv_
  helpers on Linux; on Windows the same names bind oleaut32's functions. }
{$IFDEF MSWINDOWS}
function kv_SysAllocString(text: PWideChar): PWideChar;
  stdcall; external KvOleLibrary name 'SysAllocString';
function kv_SysAllocStringLen(text: PWideChar; length: Cardinal): PWideChar;
  stdcall; external KvOleLibrary name 'SysAllocStringLen';
procedure kv_SysFreeString(text: PWideChar);
  stdcall; external KvOleLibrary name 'SysFreeString';
function kv_SysStringLen(text: PWideChar): Cardinal;
  stdcall; external KvOleLibrary name 'SysStringLen';
procedure kv_VariantInit(value: PKvVariant);
  stdcall; external KvOleLibrary name 'VariantInit';
function kv_VariantClear(value: PKvVariant): LongInt;
  stdcall; external KvOleLibrary name 'VariantClear';
function kv_VariantCopy(dest: PKvVariant; source: PKvVariant): LongInt;
  stdcall; external KvOleLibrary name 'VariantCopy';
function kv_SafeArrayCreateVector(vt: Word; lowerBound: LongInt; count: Cardinal): PKvSafeArray;
  stdcall; external KvOleLibrary name 'SafeArrayCreateVector';
function kv_SafeArrayDestroy(arr: PKvSafeArray): LongInt;
  stdcall; external KvOleLibrary name 'SafeArrayDestroy';
function kv_SafeArrayAccessData(arr: PKvSafeArray; out data: Pointer): LongInt;
  stdcall; external KvOleLibrary name 'SafeArrayAccessData';
function kv_SafeArrayUnaccessData(arr: PKvSafeArray): LongInt;
  stdcall; external KvOleLibrary name 'SafeArrayUnaccessData';
function kv_SafeArrayGetElement(arr: PKvSafeArray; index: PLongInt; value: Pointer): LongInt;
  stdcall; external KvOleLibrary name 'SafeArrayGetElement';
function kv_SafeArrayPutElement(arr: PKvSafeArray; index: PLongInt; value: Pointer): LongInt;
  stdcall; external KvOleLibrary name 'SafeArrayPutElement';
{$ELSE}
function kv_SysAllocString(text: PWideChar): PWideChar;
  cdecl; external KvLibrary name 'kv_SysAllocString';
function kv_SysAllocStringLen(text: PWideChar; length: Cardinal): PWideChar;
  cdecl; external KvLibrary name 'kv_SysAllocStringLen';
procedure kv_SysFreeString(text: PWideChar);
  cdecl; external KvLibrary name 'kv_SysFreeString';
function kv_SysStringLen(text: PWideChar): Cardinal;
  cdecl; external KvLibrary name 'kv_SysStringLen';
procedure kv_VariantInit(value: PKvVariant);
  cdecl; external KvLibrary name 'kv_VariantInit';
function kv_VariantClear(value: PKvVariant): LongInt;
  cdecl; external KvLibrary name 'kv_VariantClear';
function kv_VariantCopy(dest: PKvVariant; source: PKvVariant): LongInt;
  cdecl; external KvLibrary name 'kv_VariantCopy';
function kv_SafeArrayCreateVector(vt: Word; lowerBound: LongInt; count: Cardinal): PKvSafeArray;
  cdecl; external KvLibrary name 'kv_SafeArrayCreateVector';
function kv_SafeArrayDestroy(arr: PKvSafeArray): LongInt;
  cdecl; external KvLibrary name 'kv_SafeArrayDestroy';
function kv_SafeArrayAccessData(arr: PKvSafeArray; out data: Pointer): LongInt;
  cdecl; external KvLibrary name 'kv_SafeArrayAccessData';
function kv_SafeArrayUnaccessData(arr: PKvSafeArray): LongInt;
  cdecl; external KvLibrary name 'kv_SafeArrayUnaccessData';
function kv_SafeArrayGetElement(arr: PKvSafeArray; index: PLongInt; value: Pointer): LongInt;
  cdecl; external KvLibrary name 'kv_SafeArrayGetElement';
function kv_SafeArrayPutElement(arr: PKvSafeArray; index: PLongInt; value: Pointer): LongInt;
  cdecl; external KvLibrary name 'kv_SafeArrayPutElement';
{$ENDIF}

{ Texts: a UnicodeString as Windows-1251 bytes (a character that code page
  lacks becomes '?'), and back. }
function KvText(const S: UnicodeString): RawByteString;
function KvFromText(P: PAnsiChar): UnicodeString;

{ Times: a TDateTime of the host's local time as a FILETIME, and back. }
function KvFileTime(const DT: TDateTime): TKvFileTime;
function KvDateTime(const FT: TKvFileTime): TDateTime;

{ VARIANTs of the kinds the library takes. KvString and the arrays allocate:
  free them with KvClear once the call has returned. }
function KvEmpty: TKvVariant;
function KvDouble(V: Double): TKvVariant;
function KvSingle(V: Single): TKvVariant;
function KvInteger(V: LongInt): TKvVariant;
function KvSmallInt(V: SmallInt): TKvVariant;
function KvByte(V: Byte): TKvVariant;
function KvBoolean(V: Boolean): TKvVariant;
function KvDate(V: TDateTime): TKvVariant;
function KvString(const V: UnicodeString): TKvVariant;
function KvDoubleArray(const V: array of Double): TKvVariant;
function KvIntegerArray(const V: array of LongInt): TKvVariant;
function KvStringArray(const V: array of UnicodeString): TKvVariant;
procedure KvClear(var V: TKvVariant);
{ The text of a BSTR (a VARIANT's VOleStr), empty for nil. }
function KvOleText(P: PWideChar): UnicodeString;

implementation

const
  { The characters of Windows-1251's bytes $80 to $FF. }
  KvUpperHalf: array[$80..$FF] of Word = (
    $0402, $0403, $201A, $0453, $201E, $2026, $2020, $2021,
    $20AC, $2030, $0409, $2039, $040A, $040C, $040B, $040F,
    $0452, $2018, $2019, $201C, $201D, $2022, $2013, $2014,
    $0098, $2122, $0459, $203A, $045A, $045C, $045B, $045F,
    $00A0, $040E, $045E, $0408, $00A4, $0490, $00A6, $00A7,
    $0401, $00A9, $0404, $00AB, $00AC, $00AD, $00AE, $0407,
    $00B0, $00B1, $0406, $0456, $0491, $00B5, $00B6, $00B7,
    $0451, $2116, $0454, $00BB, $0458, $0405, $0455, $0457,
    $0410, $0411, $0412, $0413, $0414, $0415, $0416, $0417,
    $0418, $0419, $041A, $041B, $041C, $041D, $041E, $041F,
    $0420, $0421, $0422, $0423, $0424, $0425, $0426, $0427,
    $0428, $0429, $042A, $042B, $042C, $042D, $042E, $042F,
    $0430, $0431, $0432, $0433, $0434, $0435, $0436, $0437,
    $0438, $0439, $043A, $043B, $043C, $043D, $043E, $043F,
    $0440, $0441, $0442, $0443, $0444, $0445, $0446, $0447,
    $0448, $0449, $044A, $044B, $044C, $044D, $044E, $044F);

  { Days from 0001-01-01 to 1601-01-01, plus one, as DateTimeToTimeStamp
    counts them. }
  KvFileTimeEpochDay = 584389;
  KvMillisecondsPerDay = 86400000;

function KvText(const S: UnicodeString): RawByteString;
var
  I, B: Integer;
  C: Word;
begin
  SetLength(Result, Length(S));
  for I := 1 to Length(S) do
  begin
    C := Word(S[I]);
    if C < $80 then
      Result[I] := AnsiChar(C)
    else
    begin
      Result[I] := '?';
      for B := Low(KvUpperHalf) to High(KvUpperHalf) do
        if KvUpperHalf[B] = C then
        begin
          Result[I] := AnsiChar(B);
          Break;
        end;
    end;
  end;
end;

function KvFromText(P: PAnsiChar): UnicodeString;
var
  I: Integer;
  B: Byte;
begin
  Result := '';
  if P = nil then
    Exit;
  SetLength(Result, StrLen(P));
  for I := 1 to Length(Result) do
  begin
    B := Byte(P[I - 1]);
    if B < $80 then
      Result[I] := WideChar(B)
    else
      Result[I] := WideChar(KvUpperHalf[B]);
  end;
end;

function KvFileTime(const DT: TDateTime): TKvFileTime;
var
  Stamp: TTimeStamp;
  Ticks: Int64;
begin
  Stamp := DateTimeToTimeStamp(DT);
  Ticks := (Int64(Stamp.Date - KvFileTimeEpochDay) * KvMillisecondsPerDay + Stamp.Time) * 10000;
  if Ticks < 0 then
    raise EConvertError.Create('a FILETIME cannot hold a time before 1601');
  Result.dwLowDateTime := Cardinal(Ticks and $FFFFFFFF);
  Result.dwHighDateTime := Cardinal(Ticks shr 32);
end;

function KvDateTime(const FT: TKvFileTime): TDateTime;
var
  Milliseconds: Int64;
  Stamp: TTimeStamp;
begin
  Milliseconds := ((Int64(FT.dwHighDateTime) shl 32) or FT.dwLowDateTime) div 10000;
  Stamp.Date := KvFileTimeEpochDay + Integer(Milliseconds div KvMillisecondsPerDay);
  Stamp.Time := Integer(Milliseconds mod KvMillisecondsPerDay);
  Result := TimeStampToDateTime(Stamp);
end;

function KvOfKind(Kind: Word): TKvVariant;
begin
  FillChar(Result, SizeOf(Result), 0);
  Result.VType := Kind;
end;

function KvEmpty: TKvVariant;
begin
  Result := KvOfKind(VT_EMPTY);
end;

function KvDouble(V: Double): TKvVariant;
begin
  Result := KvOfKind(VT_R8);
  Result.VDouble := V;
end;

function KvSingle(V: Single): TKvVariant;
begin
  Result := KvOfKind(VT_R4);
  Result.VSingle := V;
end;

function KvInteger(V: LongInt): TKvVariant;
begin
  Result := KvOfKind(VT_I4);
  Result.VInteger := V;
end;

function KvSmallInt(V: SmallInt): TKvVariant;
begin
  Result := KvOfKind(VT_I2);
  Result.VSmallInt := V;
end;

function KvByte(V: Byte): TKvVariant;
begin
  Result := KvOfKind(VT_UI1);
  Result.VByte := V;
end;

function KvBoolean(V: Boolean): TKvVariant;
begin
  Result := KvOfKind(VT_BOOL);
  Result.VBoolean := V; { WordBool: True is -1, as OLE wants it }
end;

function KvDate(V: TDateTime): TKvVariant;
begin
  Result := KvOfKind(VT_DATE);
  Result.VDate := V;
end;

function KvBstr(const V: UnicodeString): PWideChar;
begin
  Result := kv_SysAllocStringLen(PWideChar(V), Length(V));
  if (Result = nil) and (Length(V) > 0) then
    OutOfMemoryError;
end;

function KvString(const V: UnicodeString): TKvVariant;
begin
  Result := KvOfKind(VT_BSTR);
  Result.VOleStr := KvBstr(V);
end;

{ A variant holding a new array of Count elements of Kind; Data points at
  them until KvEndArray. }
function KvBeginArray(Kind: Word; Count: Integer; out Data: Pointer): TKvVariant;
begin
  Result := KvOfKind(VT_ARRAY or Kind);
  Result.VArray := kv_SafeArrayCreateVector(Kind, 0, Count);
  if Result.VArray = nil then
    OutOfMemoryError;
  kv_SafeArrayAccessData(Result.VArray, Data);
end;

procedure KvEndArray(const V: TKvVariant);
begin
  kv_SafeArrayUnaccessData(V.VArray);
end;

function KvDoubleArray(const V: array of Double): TKvVariant;
var
  Data: Pointer;
begin
  Result := KvBeginArray(VT_R8, Length(V), Data);
  if Length(V) > 0 then
    Move(V[0], Data^, Length(V) * SizeOf(Double));
  KvEndArray(Result);
end;

function KvIntegerArray(const V: array of LongInt): TKvVariant;
var
  Data: Pointer;
begin
  Result := KvBeginArray(VT_I4, Length(V), Data);
  if Length(V) > 0 then
    Move(V[0], Data^, Length(V) * SizeOf(LongInt));
  KvEndArray(Result);
end;

function KvStringArray(const V: array of UnicodeString): TKvVariant;
type
  TBstrs = array[0..MaxInt div SizeOf(PWideChar) - 1] of PWideChar;
var
  Data: Pointer;
  I: Integer;
begin
  Result := KvBeginArray(VT_BSTR, Length(V), Data);
  { The array owns the BSTRs put in it. }
  for I := 0 to High(V) do
    TBstrs(Data^)[I] := KvBstr(V[I]);
  KvEndArray(Result);
end;

procedure KvClear(var V: TKvVariant);
begin
  kv_VariantClear(@V);
end;

function KvOleText(P: PWideChar): UnicodeString;
begin
  if P = nil then
    Result := ''
  else
    SetString(Result, P, kv_SysStringLen(P));
end;

end.
