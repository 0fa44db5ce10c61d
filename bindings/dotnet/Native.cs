// kvopros2 for .NET: the library's exports as P/Invoke declarations, the
// header's constants and the C structures they take. Client.cs is the safe
// wrapper most hosts use instead.
//
// Every c_ export is cdecl. The 32-bit Windows DLL exports them under their
// decorated names (_c_CreateOpros ...), the Linux library under the plain
// ones, so each platform has its class and Native picks one at run time.
// What makes and frees BSTRs, VARIANTs and safe arrays is oleaut32 on
// Windows (stdcall) and the library's kv_ helpers on Linux.
using System;
using System.Runtime.InteropServices;

namespace Kvopros2
{
    // The numbers of kvopros2.h, named without its KVOPROS2_ (or KV_) prefix.
    public static class Kv
    {
        // The version of the library this binding was made with.
        public const int VERSION_MAJOR = 1;
        public const int VERSION_MINOR = 2;
        public const int VERSION_PATCH = 0;

        // Data types of channels and attributes; TYPE_ARRAY added to an element
        // type makes an array of it.
        public const ushort TYPE_EMPTY = 0;
        public const ushort TYPE_INT2 = 2;
        public const ushort TYPE_INT4 = 3;
        public const ushort TYPE_FLOAT4 = 4;
        public const ushort TYPE_FLOAT8 = 5;
        public const ushort TYPE_DATE = 7;
        public const ushort TYPE_BOOLEAN = 11;
        public const ushort TYPE_INT1 = 16;
        public const ushort TYPE_UINT1 = 17;
        public const ushort TYPE_UINT2 = 18;
        public const ushort TYPE_UINT4 = 19;
        public const ushort TYPE_STRING = 256;
        public const ushort TYPE_ARRAY = 0x1000;

        // Qualities of a value; only a good one is stored.
        public const ushort QUALITY_GOOD = 0;
        public const ushort QUALITY_OFF = 1;
        public const ushort QUALITY_UNDEFINED = 2;
        public const ushort QUALITY_SENSOR_FAULT = 3;
        public const ushort QUALITY_CONTROLLER_FAULT = 4;
        public const ushort QUALITY_UNRELIABLE = 5;
        public const ushort QUALITY_SENSOR_DISCONNECTED = 6;
        public const ushort QUALITY_NO_LINK = 7;
        public const ushort QUALITY_RECORDER_FAULT = 8;

        // Attribute ids; ATTR_QUALITY_TEXT + q is the channel's text for quality q.
        public const ushort ATTR_EU_TYPE = 7;
        public const ushort ATTR_EU_INFO1 = 9;
        public const ushort ATTR_EU_INFO2 = 10;
        public const ushort ATTR_EU_INFO3 = 11;
        public const ushort ATTR_UNIT = 100;
        public const ushort ATTR_COMMENTS = 101;
        public const ushort ATTR_PREFIX = 112;
        public const ushort ATTR_SOUND_FILE = 205;
        public const ushort ATTR_ALARM_MESSAGE = 301;
        public const ushort ATTR_DEADBAND = 306;
        public const ushort ATTR_HIHI_LIMIT = 307;
        public const ushort ATTR_HI_LIMIT = 308;
        public const ushort ATTR_LO_LIMIT = 309;
        public const ushort ATTR_LOLO_LIMIT = 310;
        public const ushort ATTR_WATCH_LIMITS = 314;
        public const ushort ATTR_DESCRIPTION = 5000;
        public const ushort ATTR_CONNECTION_QUALITY = 5001;
        public const ushort ATTR_FORMAT = 5002;
        public const ushort ATTR_MASKED = 5003;
        public const ushort ATTR_DTYPE = 5004;
        public const ushort ATTR_SYSM = 5005;
        public const ushort ATTR_ALARM_ID = 5006;
        public const ushort ATTR_SIGNIFICATION = 5009;
        public const ushort ATTR_QUALITY_TEXT = 5100;

        // What a channel measures or controls.
        public const ushort SIGNIFICATION_UNDEFINED = 0;
        public const ushort SIGNIFICATION_PULSE_COUNTER = 1;
        public const ushort SIGNIFICATION_UNIT_COUNTER = 2;
        public const ushort SIGNIFICATION_CONTROL = 3;
        public const ushort SIGNIFICATION_MONITOR = 4;
        public const ushort SIGNIFICATION_INTRUSION_SENSOR = 5;
        public const ushort SIGNIFICATION_FIRE_SENSOR = 6;
        public const ushort SIGNIFICATION_SECURITY_STATE = 7;
        public const ushort SIGNIFICATION_GAS_SENSOR = 8;
        public const ushort SIGNIFICATION_TEMPERATURE = 9;
        public const ushort SIGNIFICATION_MANUAL_CALL_POINT = 10;
        public const ushort SIGNIFICATION_FLOOD_SENSOR = 11;
        public const ushort SIGNIFICATION_ELEVATOR = 12;
        public const ushort SIGNIFICATION_PRESSURE = 13;
        public const ushort SIGNIFICATION_POWER = 14;
        public const ushort SIGNIFICATION_ENTHALPY = 15;
        public const ushort SIGNIFICATION_FLOW_RATE = 16;

        // Why the calling thread's last call answered as it did (GetLastResult).
        public const int RESULT_OK = 0;
        public const int RESULT_UNCHANGED = 1;
        public const int RESULT_NO_CLIENT = 2;
        public const int RESULT_UNKNOWN_CHANNEL = 3;
        public const int RESULT_EMPTY_ADDRESS = 4;
        public const int RESULT_BAD_TYPE = 5;
        public const int RESULT_TOO_LARGE = 6;
        public const int RESULT_NOT_CONVERTIBLE = 7;
        public const int RESULT_REPLACED = 8;
        public const int RESULT_QUEUE_EMPTY = 9;
        public const int RESULT_IN_CALLBACK = 10;
        public const int RESULT_BAD_ID = 11;
        public const int RESULT_BAD_TIME = 12;
        public const int RESULT_BAD_ARGUMENT = 13;
        public const int RESULT_UNKNOWN_OPTION = 14;
        public const int RESULT_OUT_OF_RANGE = 15;
        public const int RESULT_CLIENT_EXISTS = 16;
        public const int RESULT_NO_RESOURCES = 17;

        // The longest channel address, in bytes.
        public const int MAX_ADDRESS_LENGTH = 65524;

        // Options (SetOption), process-wide: DEBUG_LOG 0 or 1; LOG_MAX_BYTES 0
        // (no rotation) or 65536 to 2147483647; LOG_FILES 1 to 100; read at
        // the next CreateOpros: HISTORY_BYTES 0 (no value history) or 65536
        // to 536870912, HISTORY_SECONDS 0 (no age limit) or 1 to 2073600.
        public const int OPTION_DEBUG_LOG = 1;
        public const int OPTION_LOG_MAX_BYTES = 2;
        public const int OPTION_LOG_FILES = 3;
        public const int OPTION_HISTORY_BYTES = 4;
        public const int OPTION_HISTORY_SECONDS = 5;

        // Levels of the lines a log callback gets (names, not an order).
        public const int LOG_ERROR = 1;
        public const int LOG_INFO = 2;
        public const int LOG_DEBUG = 3;
        public const int LOG_WARNING = 4;

        public const int MAX_WAITING_CONTROLS = 65536;
        public const int S_OK = 0;
        public const int E_INVALIDARG = unchecked((int)0x80070057);
        public const int E_OUTOFMEMORY = unchecked((int)0x8007000E);
        public const int DISP_E_BADVARTYPE = unchecked((int)0x80020008);
        public const int DISP_E_BADINDEX = unchecked((int)0x8002000B);
        public const int DISP_E_ARRAYISLOCKED = unchecked((int)0x8002000D);
        public const int STATISTICS_VERSION = 3;
        public const int STATISTICS_HEADER_SIZE = 8;

        // Kinds of a VARIANT.
        public const ushort VT_EMPTY = 0;
        public const ushort VT_NULL = 1;
        public const ushort VT_I2 = 2;
        public const ushort VT_I4 = 3;
        public const ushort VT_R4 = 4;
        public const ushort VT_R8 = 5;
        public const ushort VT_CY = 6;
        public const ushort VT_DATE = 7;
        public const ushort VT_BSTR = 8;
        public const ushort VT_DISPATCH = 9;
        public const ushort VT_ERROR = 10;
        public const ushort VT_BOOL = 11;
        public const ushort VT_VARIANT = 12;
        public const ushort VT_UNKNOWN = 13;
        public const ushort VT_DECIMAL = 14;
        public const ushort VT_I1 = 16;
        public const ushort VT_UI1 = 17;
        public const ushort VT_UI2 = 18;
        public const ushort VT_UI4 = 19;
        public const ushort VT_I8 = 20;
        public const ushort VT_UI8 = 21;
        public const ushort VT_INT = 22;
        public const ushort VT_UINT = 23;
        public const ushort VT_ARRAY = 0x2000;
        public const ushort VT_BYREF = 0x4000;
    }

    // The 16-byte VARIANT: the kind, three reserved words and 8 bytes of
    // value. The value is one integer field: a C compiler passes the union of
    // integers, doubles and pointers in integer registers, and so does the
    // runtime with this layout, on every platform.
    [StructLayout(LayoutKind.Sequential)]
    public struct NativeVariant
    {
        public ushort vt;
        public ushort reserved1;
        public ushort reserved2;
        public ushort reserved3;
        public long data;
    }

    // 100-ns units since 1601-01-01, low half first.
    [StructLayout(LayoutKind.Sequential)]
    public struct FileTime
    {
        public uint low;
        public uint high;
    }

    // One-dimensional safe array as the OLE helpers make it.
    [StructLayout(LayoutKind.Sequential)]
    public struct NativeSafeArray
    {
        public ushort dims;
        public ushort features;
        public uint elementSize;
        public uint locks;
        public IntPtr data;
        public uint count;
        public int lowerBound;
    }

    // kv_statistics: the same fields at the same offsets (two 32-bit fields,
    // then 64-bit ones, no padding). Size is set by the caller.
    [StructLayout(LayoutKind.Sequential, Pack = 8)]
    public struct Statistics
    {
        public uint Size;
        public uint Version;
        public ulong ConnectedSince;
        public ulong Logins;
        public ulong DropsClosedByServer;
        public ulong DropsReset;
        public ulong DropsWriteTimeout;
        public ulong DropsLinkTest;
        public ulong DropsProtocolError;
        public ulong DropsLoginRefused;
        public ulong BytesSent;
        public ulong BytesReceived;
        public ulong RecordsSent;
        public ulong RecordsReceived;
        public ulong ValuesCoalesced;
        public ulong ChannelsRegistered;
        public ulong ChannelsActive;
        public ulong ChannelsWaiting;
        public ulong ControlsReceived;
        public ulong ControlsWaiting;
        public ulong ControlsRefused;
        public ulong LastError;
        public ulong LastErrorTime;
        // Version 2:
        public ulong ServerIndex;    // of the current (else the last) login, in the host list
        public ulong ServerSwitches; // logins at another server than the one of the login before
        // Version 3, the value history:
        public ulong HistoryValues;       // values kept now
        public ulong HistoryBytes;        // the bytes they take
        public ulong HistoryDroppedBound; // the oldest kept values dropped at the bound
        public ulong HistoryDroppedAge;   // kept values dropped for their age
        public ulong HistorySent;         // kept values written to a connection
    }

    // The log callback: context as given to c_SetLogCallback, the line's
    // level (Kv.LOG_), the line as Windows-1251 bytes, valid during the call
    // only. cdecl on every platform, like the exports.
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void LogCallback(IntPtr context, int level, IntPtr line);

    // The 32-bit Windows DLL and oleaut32.
    internal static class WindowsNative
    {
        private const string Library = "kvopros2.dll";
        private const string Ole = "oleaut32.dll";

        [DllImport(Library, EntryPoint = "_c_CreateOpros",
                   CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool c_CreateOpros(
            byte[] host,
            int port,
            int timeoutSec,
            byte[] login,
            byte[] password,
            byte setClock,
            byte debugLog,
            byte[] logFile);

        [DllImport(Library, EntryPoint = "_c_DestroyOpros",
                   CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool c_DestroyOpros();

        [DllImport(Library, EntryPoint = "_c_IsServerConnected",
                   CallingConvention = CallingConvention.Cdecl)]
        internal static extern int c_IsServerConnected();

        [DllImport(Library, EntryPoint = "_c_RegisterChannel",
                   CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool c_RegisterChannel(
            byte[] addr,
            ushort type,
            byte writeEnable,
            byte saveValue,
            byte[] comments,
            byte[] prefix,
            byte[] unit,
            byte[] formatString,
            byte[] description,
            ushort signification,
            byte[] enumTexts);

        [DllImport(Library, EntryPoint = "_c_RegisterValueByID",
                   CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool c_RegisterValueByID(
            byte[] addr,
            ref FileTime time,
            ushort quality,
            NativeVariant value);

        [DllImport(Library, EntryPoint = "_c_RegisterAttribute",
                   CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool c_RegisterAttribute(
            byte[] addr,
            ushort id,
            ushort type,
            NativeVariant value);

        [DllImport(Library, EntryPoint = "_c_ReceiveControl",
                   CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool c_ReceiveControl(
            byte[] addrBuf,
            int addrBufSize,
            out uint number,
            out FileTime time,
            out ushort quality,
            out NativeVariant value);

        [DllImport(Library, EntryPoint = "_c_GetStatistics",
                   CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool c_GetStatistics(ref Statistics stats);

        [DllImport(Library, EntryPoint = "_c_SetOption",
                   CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool c_SetOption(int option, long value);

        [DllImport(Library, EntryPoint = "_c_SetLogCallback",
                   CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool c_SetLogCallback(LogCallback callback, IntPtr context);

        [DllImport(Library, EntryPoint = "_c_GetLastResult",
                   CallingConvention = CallingConvention.Cdecl)]
        internal static extern int c_GetLastResult();

        [DllImport(Library, EntryPoint = "_c_GetVersion",
                   CallingConvention = CallingConvention.Cdecl)]
        internal static extern int c_GetVersion();

        [DllImport(Ole, EntryPoint = "SysAllocString",
                   CallingConvention = CallingConvention.StdCall)]
        internal static extern IntPtr kv_SysAllocString(
            [MarshalAs(UnmanagedType.LPWStr)] string text);

        [DllImport(Ole, EntryPoint = "SysAllocStringLen",
                   CallingConvention = CallingConvention.StdCall)]
        internal static extern IntPtr kv_SysAllocStringLen(
            [MarshalAs(UnmanagedType.LPWStr)] string text,
            uint length);

        [DllImport(Ole, EntryPoint = "SysFreeString",
                   CallingConvention = CallingConvention.StdCall)]
        internal static extern void kv_SysFreeString(IntPtr text);

        [DllImport(Ole, EntryPoint = "SysStringLen", CallingConvention = CallingConvention.StdCall)]
        internal static extern uint kv_SysStringLen(IntPtr text);

        [DllImport(Ole, EntryPoint = "VariantInit", CallingConvention = CallingConvention.StdCall)]
        internal static extern void kv_VariantInit(ref NativeVariant value);

        [DllImport(Ole, EntryPoint = "VariantClear", CallingConvention = CallingConvention.StdCall)]
        internal static extern int kv_VariantClear(ref NativeVariant value);

        [DllImport(Ole, EntryPoint = "VariantCopy", CallingConvention = CallingConvention.StdCall)]
        internal static extern int kv_VariantCopy(ref NativeVariant dest, ref NativeVariant source);

        [DllImport(Ole, EntryPoint = "SafeArrayCreateVector",
                   CallingConvention = CallingConvention.StdCall)]
        internal static extern IntPtr kv_SafeArrayCreateVector(
            ushort vt,
            int lowerBound,
            uint count);

        [DllImport(Ole, EntryPoint = "SafeArrayDestroy",
                   CallingConvention = CallingConvention.StdCall)]
        internal static extern int kv_SafeArrayDestroy(IntPtr array);

        [DllImport(Ole, EntryPoint = "SafeArrayAccessData",
                   CallingConvention = CallingConvention.StdCall)]
        internal static extern int kv_SafeArrayAccessData(IntPtr array, out IntPtr data);

        [DllImport(Ole, EntryPoint = "SafeArrayUnaccessData",
                   CallingConvention = CallingConvention.StdCall)]
        internal static extern int kv_SafeArrayUnaccessData(IntPtr array);

        [DllImport(Ole, EntryPoint = "SafeArrayGetElement",
                   CallingConvention = CallingConvention.StdCall)]
        internal static extern int kv_SafeArrayGetElement(
            IntPtr array,
            ref int index,
            IntPtr value);

        [DllImport(Ole, EntryPoint = "SafeArrayPutElement",
                   CallingConvention = CallingConvention.StdCall)]
        internal static extern int kv_SafeArrayPutElement(
            IntPtr array,
            ref int index,
            IntPtr value);
    }

    // The Linux library.
    internal static class PosixNative
    {
        private const string Library = "libkvopros2.so";

        [DllImport(Library, EntryPoint = "c_CreateOpros",
                   CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool c_CreateOpros(
            byte[] host,
            int port,
            int timeoutSec,
            byte[] login,
            byte[] password,
            byte setClock,
            byte debugLog,
            byte[] logFile);

        [DllImport(Library, EntryPoint = "c_DestroyOpros",
                   CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool c_DestroyOpros();

        [DllImport(Library, EntryPoint = "c_IsServerConnected",
                   CallingConvention = CallingConvention.Cdecl)]
        internal static extern int c_IsServerConnected();

        [DllImport(Library, EntryPoint = "c_RegisterChannel",
                   CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool c_RegisterChannel(
            byte[] addr,
            ushort type,
            byte writeEnable,
            byte saveValue,
            byte[] comments,
            byte[] prefix,
            byte[] unit,
            byte[] formatString,
            byte[] description,
            ushort signification,
            byte[] enumTexts);

        [DllImport(Library, EntryPoint = "c_RegisterValueByID",
                   CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool c_RegisterValueByID(
            byte[] addr,
            ref FileTime time,
            ushort quality,
            NativeVariant value);

        [DllImport(Library, EntryPoint = "c_RegisterAttribute",
                   CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool c_RegisterAttribute(
            byte[] addr,
            ushort id,
            ushort type,
            NativeVariant value);

        [DllImport(Library, EntryPoint = "c_ReceiveControl",
                   CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool c_ReceiveControl(
            byte[] addrBuf,
            int addrBufSize,
            out uint number,
            out FileTime time,
            out ushort quality,
            out NativeVariant value);

        [DllImport(Library, EntryPoint = "c_GetStatistics",
                   CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool c_GetStatistics(ref Statistics stats);

        [DllImport(Library, EntryPoint = "c_SetOption",
                   CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool c_SetOption(int option, long value);

        [DllImport(Library, EntryPoint = "c_SetLogCallback",
                   CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool c_SetLogCallback(LogCallback callback, IntPtr context);

        [DllImport(Library, EntryPoint = "c_GetLastResult",
                   CallingConvention = CallingConvention.Cdecl)]
        internal static extern int c_GetLastResult();

        [DllImport(Library, EntryPoint = "c_GetVersion",
                   CallingConvention = CallingConvention.Cdecl)]
        internal static extern int c_GetVersion();

        [DllImport(Library, EntryPoint = "kv_SysAllocString",
                   CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr kv_SysAllocString(
            [MarshalAs(UnmanagedType.LPWStr)] string text);

        [DllImport(Library, EntryPoint = "kv_SysAllocStringLen",
                   CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr kv_SysAllocStringLen(
            [MarshalAs(UnmanagedType.LPWStr)] string text,
            uint length);

        [DllImport(Library, EntryPoint = "kv_SysFreeString",
                   CallingConvention = CallingConvention.Cdecl)]
        internal static extern void kv_SysFreeString(IntPtr text);

        [DllImport(Library, EntryPoint = "kv_SysStringLen",
                   CallingConvention = CallingConvention.Cdecl)]
        internal static extern uint kv_SysStringLen(IntPtr text);

        [DllImport(Library, EntryPoint = "kv_VariantInit",
                   CallingConvention = CallingConvention.Cdecl)]
        internal static extern void kv_VariantInit(ref NativeVariant value);

        [DllImport(Library, EntryPoint = "kv_VariantClear",
                   CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kv_VariantClear(ref NativeVariant value);

        [DllImport(Library, EntryPoint = "kv_VariantCopy",
                   CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kv_VariantCopy(ref NativeVariant dest, ref NativeVariant source);

        [DllImport(Library, EntryPoint = "kv_SafeArrayCreateVector",
                   CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr kv_SafeArrayCreateVector(
            ushort vt,
            int lowerBound,
            uint count);

        [DllImport(Library, EntryPoint = "kv_SafeArrayDestroy",
                   CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kv_SafeArrayDestroy(IntPtr array);

        [DllImport(Library, EntryPoint = "kv_SafeArrayAccessData",
                   CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kv_SafeArrayAccessData(IntPtr array, out IntPtr data);

        [DllImport(Library, EntryPoint = "kv_SafeArrayUnaccessData",
                   CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kv_SafeArrayUnaccessData(IntPtr array);

        [DllImport(Library, EntryPoint = "kv_SafeArrayGetElement",
                   CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kv_SafeArrayGetElement(
            IntPtr array,
            ref int index,
            IntPtr value);

        [DllImport(Library, EntryPoint = "kv_SafeArrayPutElement",
                   CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kv_SafeArrayPutElement(
            IntPtr array,
            ref int index,
            IntPtr value);
    }

    // The exports of the platform this process runs on.
    public static class Native
    {
        public static readonly bool IsWindows =
            Environment.OSVersion.Platform == PlatformID.Win32NT;

        public static bool c_CreateOpros(
            byte[] host,
            int port,
            int timeoutSec,
            byte[] login,
            byte[] password,
            byte setClock,
            byte debugLog,
            byte[] logFile)
        {
            return IsWindows
                ? WindowsNative.c_CreateOpros(host, port, timeoutSec, login, password, setClock,
                      debugLog, logFile)
                : PosixNative.c_CreateOpros(host, port, timeoutSec, login, password, setClock,
                      debugLog, logFile);
        }

        public static bool c_DestroyOpros()
        {
            return IsWindows ? WindowsNative.c_DestroyOpros() : PosixNative.c_DestroyOpros();
        }

        public static int c_IsServerConnected()
        {
            return IsWindows
                ? WindowsNative.c_IsServerConnected()
                : PosixNative.c_IsServerConnected();
        }

        public static bool c_RegisterChannel(
            byte[] addr,
            ushort type,
            byte writeEnable,
            byte saveValue,
            byte[] comments,
            byte[] prefix,
            byte[] unit,
            byte[] formatString,
            byte[] description,
            ushort signification,
            byte[] enumTexts)
        {
            return IsWindows
                ? WindowsNative.c_RegisterChannel(addr, type, writeEnable, saveValue, comments,
                      prefix, unit, formatString, description, signification, enumTexts)
                : PosixNative.c_RegisterChannel(addr, type, writeEnable, saveValue, comments,
                      prefix, unit, formatString, description, signification, enumTexts);
        }

        public static bool c_RegisterValueByID(
            byte[] addr,
            ref FileTime time,
            ushort quality,
            NativeVariant value)
        {
            return IsWindows
                ? WindowsNative.c_RegisterValueByID(addr, ref time, quality, value)
                : PosixNative.c_RegisterValueByID(addr, ref time, quality, value);
        }

        public static bool c_RegisterAttribute(
            byte[] addr,
            ushort id,
            ushort type,
            NativeVariant value)
        {
            return IsWindows
                ? WindowsNative.c_RegisterAttribute(addr, id, type, value)
                : PosixNative.c_RegisterAttribute(addr, id, type, value);
        }

        public static bool c_ReceiveControl(
            byte[] addrBuf,
            int addrBufSize,
            out uint number,
            out FileTime time,
            out ushort quality,
            out NativeVariant value)
        {
            return IsWindows
                ? WindowsNative.c_ReceiveControl(addrBuf, addrBufSize, out number, out time,
                      out quality, out value)
                : PosixNative.c_ReceiveControl(addrBuf, addrBufSize, out number, out time,
                      out quality, out value);
        }

        public static bool c_GetStatistics(ref Statistics stats)
        {
            return IsWindows
                ? WindowsNative.c_GetStatistics(ref stats)
                : PosixNative.c_GetStatistics(ref stats);
        }

        public static bool c_SetOption(int option, long value)
        {
            return IsWindows
                ? WindowsNative.c_SetOption(option, value)
                : PosixNative.c_SetOption(option, value);
        }

        // The library keeps the pointer until it is replaced: the caller keeps
        // the delegate alive for as long (Client.SetLogCallback does).
        public static bool c_SetLogCallback(LogCallback callback, IntPtr context)
        {
            return IsWindows
                ? WindowsNative.c_SetLogCallback(callback, context)
                : PosixNative.c_SetLogCallback(callback, context);
        }

        public static int c_GetLastResult()
        {
            return IsWindows ? WindowsNative.c_GetLastResult() : PosixNative.c_GetLastResult();
        }

        public static int c_GetVersion()
        {
            return IsWindows ? WindowsNative.c_GetVersion() : PosixNative.c_GetVersion();
        }

        public static IntPtr kv_SysAllocString(string text)
        {
            return IsWindows
                ? WindowsNative.kv_SysAllocString(text)
                : PosixNative.kv_SysAllocString(text);
        }

        public static IntPtr kv_SysAllocStringLen(string text, uint length)
        {
            return IsWindows
                ? WindowsNative.kv_SysAllocStringLen(text, length)
                : PosixNative.kv_SysAllocStringLen(text, length);
        }

        public static void kv_SysFreeString(IntPtr text)
        {
            if (IsWindows)
                WindowsNative.kv_SysFreeString(text);
            else
                PosixNative.kv_SysFreeString(text);
        }

        public static uint kv_SysStringLen(IntPtr text)
        {
            return IsWindows
                ? WindowsNative.kv_SysStringLen(text)
                : PosixNative.kv_SysStringLen(text);
        }

        public static void kv_VariantInit(ref NativeVariant value)
        {
            if (IsWindows)
                WindowsNative.kv_VariantInit(ref value);
            else
                PosixNative.kv_VariantInit(ref value);
        }

        public static int kv_VariantClear(ref NativeVariant value)
        {
            return IsWindows
                ? WindowsNative.kv_VariantClear(ref value)
                : PosixNative.kv_VariantClear(ref value);
        }

        public static int kv_VariantCopy(ref NativeVariant dest, ref NativeVariant source)
        {
            return IsWindows
                ? WindowsNative.kv_VariantCopy(ref dest, ref source)
                : PosixNative.kv_VariantCopy(ref dest, ref source);
        }

        public static IntPtr kv_SafeArrayCreateVector(ushort vt, int lowerBound, uint count)
        {
            return IsWindows
                ? WindowsNative.kv_SafeArrayCreateVector(vt, lowerBound, count)
                : PosixNative.kv_SafeArrayCreateVector(vt, lowerBound, count);
        }

        public static int kv_SafeArrayDestroy(IntPtr array)
        {
            return IsWindows
                ? WindowsNative.kv_SafeArrayDestroy(array)
                : PosixNative.kv_SafeArrayDestroy(array);
        }

        public static int kv_SafeArrayAccessData(IntPtr array, out IntPtr data)
        {
            return IsWindows
                ? WindowsNative.kv_SafeArrayAccessData(array, out data)
                : PosixNative.kv_SafeArrayAccessData(array, out data);
        }

        public static int kv_SafeArrayUnaccessData(IntPtr array)
        {
            return IsWindows
                ? WindowsNative.kv_SafeArrayUnaccessData(array)
                : PosixNative.kv_SafeArrayUnaccessData(array);
        }

        public static int kv_SafeArrayGetElement(IntPtr array, ref int index, IntPtr value)
        {
            return IsWindows
                ? WindowsNative.kv_SafeArrayGetElement(array, ref index, value)
                : PosixNative.kv_SafeArrayGetElement(array, ref index, value);
        }

        public static int kv_SafeArrayPutElement(IntPtr array, ref int index, IntPtr value)
        {
            return IsWindows
                ? WindowsNative.kv_SafeArrayPutElement(array, ref index, value)
                : PosixNative.kv_SafeArrayPutElement(array, ref index, value);
        }
    }
}

