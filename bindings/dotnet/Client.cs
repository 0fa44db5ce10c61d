// kvopros2 for .NET: the safe wrapper. A Client is the process's one client of
// the library; its methods are the exports and return what they returned.
// What is process-wide (options, the log callback, the last result) are
// static methods of Client, usable before one is created. Values go to the
// library as VARIANTs made here (no COM interop), texts as Windows-1251,
// times as FILETIMEs of the local time.
using System;
using System.Runtime.InteropServices;

namespace Kvopros2
{
    // A value the library takes: double, float, int, short, byte, bool,
    // string, DateTime, or a one-dimensional array of one of these, each
    // converted implicitly. Value.Empty is no value.
    public struct Value
    {
        internal readonly ushort Kind;
        internal readonly long Bits; // the 8 bytes of a scalar
        internal readonly string Text; // VT_BSTR
        internal readonly Array Items; // VT_ARRAY | Kind

        private Value(ushort kind, long bits, string text, Array items)
        {
            Kind = kind;
            Bits = bits;
            Text = text;
            Items = items;
        }

        private static Value Of(ushort kind, long bits)
        {
            return new Value(kind, bits, null, null);
        }

        private static Value Vector(ushort kind, Array items)
        {
            if (items == null) throw new ArgumentNullException("items");
            return new Value(kind, 0, null, items);
        }

        public static readonly Value Empty = Of(Kv.VT_EMPTY, 0);

        public static implicit operator Value(double v)
        {
            return Of(Kv.VT_R8, BitConverter.DoubleToInt64Bits(v));
        }
        public static implicit operator Value(float v) { return Of(Kv.VT_R4, SingleBits(v)); }
        public static implicit operator Value(int v) { return Of(Kv.VT_I4, (uint)v); }
        public static implicit operator Value(short v) { return Of(Kv.VT_I2, (ushort)v); }
        public static implicit operator Value(byte v) { return Of(Kv.VT_UI1, v); }
        public static implicit operator Value(bool v) { return Of(Kv.VT_BOOL, v ? 0xFFFF : 0); }
        public static implicit operator Value(DateTime v)
        {
            return Of(Kv.VT_DATE, BitConverter.DoubleToInt64Bits(Local(v).ToOADate()));
        }
        public static implicit operator Value(string v)
        {
            return new Value(Kv.VT_BSTR, 0, v, null);
        }
        public static implicit operator Value(double[] v) { return Vector(Kv.VT_R8, v); }
        public static implicit operator Value(float[] v) { return Vector(Kv.VT_R4, v); }
        public static implicit operator Value(int[] v) { return Vector(Kv.VT_I4, v); }
        public static implicit operator Value(short[] v) { return Vector(Kv.VT_I2, v); }
        public static implicit operator Value(byte[] v) { return Vector(Kv.VT_UI1, v); }
        public static implicit operator Value(bool[] v) { return Vector(Kv.VT_BOOL, v); }
        public static implicit operator Value(DateTime[] v) { return Vector(Kv.VT_DATE, v); }
        public static implicit operator Value(string[] v) { return Vector(Kv.VT_BSTR, v); }

        internal static long SingleBits(float v)
        {
            return (uint)BitConverter.ToInt32(BitConverter.GetBytes(v), 0);
        }

        // A DateTime as the host's local time: a UTC one is converted.
        internal static DateTime Local(DateTime v)
        {
            return v.Kind == DateTimeKind.Utc ? v.ToLocalTime() : v;
        }
    }

    // A control command the server sent: the channel's address (empty when
    // the server named it by number), its number (0 when named by address),
    // the control's time, quality and value (null, bool, an integer type,
    // float, double, DateTime, string, or an array of one of these).
    public sealed class Control
    {
        public string Address { get; internal set; }
        public uint Number { get; internal set; }
        public DateTime Time { get; internal set; }
        public ushort Quality { get; internal set; }
        public object Value { get; internal set; }
    }

    public sealed class Client : IDisposable
    {
        private const int AddressRoom = 1024;
        private static readonly object Gate = new object();
        private static Client open; // the process's open client
        private bool closed;

        // Creates the client; its worker connects and logs in on its own.
        // Only one may be open in a process.
        public Client(string host, int port, int timeoutSec = 10, string login = "CFG",
                      string password = "", bool setClock = false, bool debugLog = false,
                      string logFile = null)
        {
            if (Native.IsWindows && IntPtr.Size != 4)
                throw new BadImageFormatException(
                    "kvopros2.dll is a 32-bit DLL: run this program as a 32-bit (x86) process");
            // Creating and closing wait for the worker, which may be running a
            // log handler that would wait for Gate.
            if (LogLines.Inside)
                throw new InvalidOperationException(
                    "a kvopros2 client cannot be created inside the log callback");
            lock (Gate)
            {
                if (open != null)
                    throw new InvalidOperationException(
                        "a kvopros2 client is already open in this process");
                if (!Native.c_CreateOpros(Text.Encode(host), port, timeoutSec, Text.Encode(login),
                                          Text.Encode(password), Flag(setClock), Flag(debugLog),
                                          Text.Encode(logFile)))
                {
                    int why = Native.c_GetLastResult();
                    if (why == Kv.RESULT_NO_RESOURCES)
                        throw new OutOfMemoryException("the library could not create its client");
                    throw new InvalidOperationException(
                        "the library refused to create its client (result " + why + ")");
                }
                open = this;
            }
        }

        // Sets one of the Kv.OPTION_ options (process-wide, kept for later
        // clients). False, changing nothing, for an unknown option or a value
        // out of its range (GetLastResult tells which).
        public static bool SetOption(int option, long value)
        {
            return Native.c_SetOption(option, value);
        }

        // From now on every line the library writes goes to handler(level,
        // line) as well (level a Kv.LOG_, line as the log file has it); null
        // removes it. Process-wide and kept for later clients. The handler runs
        // on the library's worker thread, one line at a time; inside it only
        // IsServerConnected, GetStatistics, GetLastResult and SetLogCallback
        // work. Once this returns, the previous handler is never called again
        // (a call in progress is waited for), except when called from inside a
        // handler: then the change holds from the next line. Do not call it
        // holding a lock the handler waits for. An exception the handler throws
        // goes to standard error, never into the library. Always true.
        public static bool SetLogCallback(Action<int, string> handler)
        {
            return LogLines.Set(handler);
        }

        // Why the calling thread's last call of the library answered as it
        // did: a Kv.RESULT_ code (RESULT_OK before any).
        public static int GetLastResult()
        {
            return Native.c_GetLastResult();
        }

        // The running library's version, MAJOR * 10000 + MINOR * 100 + PATCH
        // (these declarations were made for Kv.VERSION_MAJOR, _MINOR, _PATCH).
        public static int GetVersion()
        {
            return Native.c_GetVersion();
        }

        // Stops the worker (it logs off first) and frees the client; what
        // c_DestroyOpros returned. False when already closed, and inside the
        // log callback (the library refuses it there).
        public bool Close()
        {
            if (LogLines.Inside) return false;
            lock (Gate)
            {
                if (closed) return false;
                closed = true;
                open = null;
                return Native.c_DestroyOpros();
            }
        }

        public void Dispose()
        {
            Close();
        }

        public bool IsServerConnected()
        {
            Live();
            return Native.c_IsServerConnected() == 1;
        }

        public bool RegisterChannel(string addr, ushort type, bool writeEnable = false,
                                    bool saveValue = false, string comments = "",
                                    string prefix = "", string unit = "", string format = "",
                                    string description = "", ushort signification = 0,
                                    params string[] enumTexts)
        {
            Live();
            string states = enumTexts == null ? "" : string.Join("\t", enumTexts);
            return Native.c_RegisterChannel(Text.Encode(addr), type, Flag(writeEnable),
                                            Flag(saveValue), Text.Encode(comments),
                                            Text.Encode(prefix), Text.Encode(unit),
                                            Text.Encode(format), Text.Encode(description),
                                            signification, Text.Encode(states));
        }

        public bool RegisterAttribute(string addr, ushort id, ushort type, Value value)
        {
            Live();
            NativeVariant variant = Variants.Make(value);
            try
            {
                return Native.c_RegisterAttribute(Text.Encode(addr), id, type, variant);
            }
            finally
            {
                Native.kv_VariantClear(ref variant);
            }
        }

        // Hands over a value stamped with time (now when null); false also
        // when nothing changed.
        public bool RegisterValue(string addr, Value value, DateTime? time = null,
                                  ushort quality = Kv.QUALITY_GOOD)
        {
            Live();
            FileTime stamp = Times.ToFileTime(time ?? DateTime.Now);
            NativeVariant variant = Variants.Make(value);
            try
            {
                return Native.c_RegisterValueByID(Text.Encode(addr), ref stamp, quality, variant);
            }
            finally
            {
                Native.kv_VariantClear(ref variant);
            }
        }

        // The oldest control the server sent, or null when none waits.
        public Control ReceiveControl()
        {
            Live();
            byte[] addr = new byte[AddressRoom];
            uint number;
            FileTime time;
            ushort quality;
            NativeVariant variant;
            if (!Native.c_ReceiveControl(addr, addr.Length, out number, out time, out quality,
                                         out variant))
                return null;
            try
            {
                return new Control
                {
                    Address = Text.Decode(addr),
                    Number = number,
                    Time = Times.FromFileTime(time),
                    Quality = quality,
                    Value = Variants.Read(variant),
                };
            }
            finally
            {
                Native.kv_VariantClear(ref variant);
            }
        }

        // The client's counters, or null when the library gave none.
        public Statistics? GetStatistics()
        {
            Live();
            Statistics stats = new Statistics();
            stats.Size = (uint)Marshal.SizeOf(typeof(Statistics));
            return Native.c_GetStatistics(ref stats) ? stats : (Statistics?)null;
        }

        private void Live()
        {
            if (closed) throw new ObjectDisposedException("Kvopros2.Client");
        }

        private static byte Flag(bool on)
        {
            return on ? (byte)1 : (byte)0;
        }
    }

    // Texts as the library's Windows-1251 bytes, zero-terminated.
    internal static class Text
    {
        // The characters of the bytes 0x80 to 0xFF.
        private const string UpperHalf =
            "\u0402\u0403\u201A\u0453\u201E\u2026\u2020\u2021" +
            "\u20AC\u2030\u0409\u2039\u040A\u040C\u040B\u040F" +
            "\u0452\u2018\u2019\u201C\u201D\u2022\u2013\u2014" +
            "\u0098\u2122\u0459\u203A\u045A\u045C\u045B\u045F" +
            "\u00A0\u040E\u045E\u0408\u00A4\u0490\u00A6\u00A7" +
            "\u0401\u00A9\u0404\u00AB\u00AC\u00AD\u00AE\u0407" +
            "\u00B0\u00B1\u0406\u0456\u0491\u00B5\u00B6\u00B7" +
            "\u0451\u2116\u0454\u00BB\u0458\u0405\u0455\u0457" +
            "\u0410\u0411\u0412\u0413\u0414\u0415\u0416\u0417" +
            "\u0418\u0419\u041A\u041B\u041C\u041D\u041E\u041F" +
            "\u0420\u0421\u0422\u0423\u0424\u0425\u0426\u0427" +
            "\u0428\u0429\u042A\u042B\u042C\u042D\u042E\u042F" +
            "\u0430\u0431\u0432\u0433\u0434\u0435\u0436\u0437" +
            "\u0438\u0439\u043A\u043B\u043C\u043D\u043E\u043F" +
            "\u0440\u0441\u0442\u0443\u0444\u0445\u0446\u0447" +
            "\u0448\u0449\u044A\u044B\u044C\u044D\u044E\u044F";

        // Null stays null (the library takes it as an empty text). A
        // character Windows-1251 lacks, or a NUL, is refused.
        internal static byte[] Encode(string text)
        {
            if (text == null) return null;
            byte[] bytes = new byte[text.Length + 1];
            for (int i = 0; i < text.Length; ++i)
            {
                char c = text[i];
                int b = c < 0x80 ? c : UpperHalf.IndexOf(c);
                if (c == 0 || b < 0)
                    throw new ArgumentException(string.Format(
                        "'{0}' holds a character Windows-1251 does not have (U+{1:X4})", text,
                        (int)c));
                bytes[i] = (byte)(c < 0x80 ? c : 0x80 + b);
            }
            return bytes;
        }

        internal static string Decode(byte[] bytes)
        {
            var text = new System.Text.StringBuilder();
            foreach (byte b in bytes)
            {
                if (b == 0) break;
                text.Append(Character(b));
            }
            return text.ToString();
        }

        // A zero-terminated text the library owns.
        internal static string Decode(IntPtr bytes)
        {
            var text = new System.Text.StringBuilder();
            if (bytes == IntPtr.Zero) return "";
            for (int i = 0;; ++i)
            {
                byte b = Marshal.ReadByte(bytes, i);
                if (b == 0) break;
                text.Append(Character(b));
            }
            return text.ToString();
        }

        private static char Character(byte b)
        {
            return b < 0x80 ? (char)b : UpperHalf[b - 0x80];
        }
    }

    // Where the library's log lines go. The library is only ever given one
    // delegate, alive as long as the process, so it never calls into one the
    // runtime has collected however often handlers change.
    internal static class LogLines
    {
        // Orders the SetLogCallback calls made outside a handler.
        private static readonly object Order = new object();
        private static readonly LogCallback Trampoline = Deliver;
        private static volatile Action<int, string> handler;
        [ThreadStatic] private static bool inside; // on the worker thread while a handler runs

        internal static bool Inside { get { return inside; } }

        internal static bool Set(Action<int, string> next)
        {
            LogCallback function = next == null ? null : Trampoline;
            if (inside)
            {
                // The library cannot wait for the call this thread is in, and
                // must not wait for a thread that waits for it: no lock here.
                handler = next;
                return Native.c_SetLogCallback(function, IntPtr.Zero);
            }
            lock (Order)
            {
                handler = next;
                return Native.c_SetLogCallback(function, IntPtr.Zero);
            }
        }

        private static void Deliver(IntPtr context, int level, IntPtr line)
        {
            Action<int, string> current = handler;
            if (current == null) return;
            inside = true;
            try
            {
                current(level, Text.Decode(line));
            }
            catch (Exception e)
            {
                // An exception must not unwind into the library's thread.
                try { Console.Error.WriteLine("kvopros2: the log callback threw: " + e); }
                catch (Exception) { }
            }
            finally
            {
                inside = false;
            }
        }
    }

    internal static class Times
    {
        private static readonly long Epoch = new DateTime(1601, 1, 1).Ticks;

        // The wall time of the host's zone, in 100-ns units since 1601.
        internal static FileTime ToFileTime(DateTime time)
        {
            long ticks = Value.Local(time).Ticks - Epoch;
            if (ticks < 0)
                throw new ArgumentOutOfRangeException(
                    "time", "a FILETIME cannot hold a time before 1601");
            return new FileTime { low = (uint)ticks, high = (uint)(ticks >> 32) };
        }

        internal static DateTime FromFileTime(FileTime time)
        {
            long ticks = (long)(((ulong)time.high << 32) | time.low);
            return new DateTime(Epoch + ticks, DateTimeKind.Local);
        }
    }

    // VARIANTs made for one call (the caller clears them) and read back.
    internal static class Variants
    {
        internal static NativeVariant Make(Value value)
        {
            if (value.Items != null) return MakeArray(value.Kind, value.Items);
            var variant = new NativeVariant { vt = value.Kind, data = value.Bits };
            if (value.Kind == Kv.VT_BSTR) variant.data = Bstr(value.Text).ToInt64();
            return variant;
        }

        private static IntPtr Bstr(string text)
        {
            if (text == null) return IntPtr.Zero; // a null BSTR is an empty text
            IntPtr bstr = Native.kv_SysAllocStringLen(text, (uint)text.Length);
            if (bstr == IntPtr.Zero && text.Length > 0) throw new OutOfMemoryException();
            return bstr;
        }

        private static NativeVariant MakeArray(ushort kind, Array items)
        {
            int n = items.Length;
            IntPtr array = Native.kv_SafeArrayCreateVector(kind, 0, (uint)n);
            if (array == IntPtr.Zero) throw new OutOfMemoryException();
            // From here the variant owns the array, and the array the BSTRs in it.
            var variant = new NativeVariant
            {
                vt = (ushort)(Kv.VT_ARRAY | kind),
                data = array.ToInt64(),
            };
            IntPtr data;
            Native.kv_SafeArrayAccessData(array, out data);
            try
            {
                if (n == 0) return variant;
                switch (kind)
                {
                    case Kv.VT_R8: Marshal.Copy((double[])items, 0, data, n); break;
                    case Kv.VT_R4: Marshal.Copy((float[])items, 0, data, n); break;
                    case Kv.VT_I4: Marshal.Copy((int[])items, 0, data, n); break;
                    case Kv.VT_I2: Marshal.Copy((short[])items, 0, data, n); break;
                    case Kv.VT_UI1: Marshal.Copy((byte[])items, 0, data, n); break;
                    case Kv.VT_BOOL:
                        var words = new short[n];
                        for (int i = 0; i < n; ++i) words[i] = (short)(((bool[])items)[i] ? -1 : 0);
                        Marshal.Copy(words, 0, data, n);
                        break;
                    case Kv.VT_DATE:
                        var dates = new double[n];
                        for (int i = 0; i < n; ++i)
                            dates[i] = Value.Local(((DateTime[])items)[i]).ToOADate();
                        Marshal.Copy(dates, 0, data, n);
                        break;
                    case Kv.VT_BSTR:
                        for (int i = 0; i < n; ++i)
                            Marshal.WriteIntPtr(data, i * IntPtr.Size, Bstr(((string[])items)[i]));
                        break;
                }
            }
            catch
            {
                Native.kv_SafeArrayUnaccessData(array);
                Native.kv_VariantClear(ref variant);
                throw;
            }
            Native.kv_SafeArrayUnaccessData(array);
            return variant;
        }

        // The .NET value of a VARIANT the library made; null for VT_EMPTY
        // and kinds it does not make.
        internal static object Read(NativeVariant variant)
        {
            ushort kind = (ushort)(variant.vt & 0x0FFF);
            if ((variant.vt & Kv.VT_ARRAY) == 0)
                return Scalar(kind, variant.data);
            if ((variant.vt & Kv.VT_BYREF) != 0 || variant.data == 0) return null;
            var array = new IntPtr(variant.data);
            var header = (NativeSafeArray)Marshal.PtrToStructure(array, typeof(NativeSafeArray));
            Type type = ElementType(kind);
            if (type == null) return null;
            var items = System.Array.CreateInstance(type, (int)header.count);
            IntPtr data;
            if (Native.kv_SafeArrayAccessData(array, out data) != Kv.S_OK) return null;
            try
            {
                for (int i = 0; i < items.Length; ++i)
                {
                    int size = (int)header.elementSize;
                    items.SetValue(Scalar(kind, ReadBits(data + i * size, size)), i);
                }
            }
            finally
            {
                Native.kv_SafeArrayUnaccessData(array);
            }
            return items;
        }

        private static long ReadBits(IntPtr at, int size)
        {
            switch (size)
            {
                case 1: return Marshal.ReadByte(at);
                case 2: return (ushort)Marshal.ReadInt16(at);
                case 4: return (uint)Marshal.ReadInt32(at);
                default: return Marshal.ReadInt64(at);
            }
        }

        private static Type ElementType(ushort kind)
        {
            object sample = Scalar(kind, 0);
            return sample == null ? null : sample.GetType();
        }

        private static object Scalar(ushort kind, long bits)
        {
            switch (kind)
            {
                case Kv.VT_I1: return (sbyte)bits;
                case Kv.VT_UI1: return (byte)bits;
                case Kv.VT_I2: return (short)bits;
                case Kv.VT_UI2: return (ushort)bits;
                case Kv.VT_I4:
                case Kv.VT_INT: return (int)bits;
                case Kv.VT_UI4:
                case Kv.VT_UINT: return (uint)bits;
                case Kv.VT_R4: return BitConverter.ToSingle(BitConverter.GetBytes((int)bits), 0);
                case Kv.VT_R8: return BitConverter.Int64BitsToDouble(bits);
                case Kv.VT_DATE: return DateTime.FromOADate(BitConverter.Int64BitsToDouble(bits));
                case Kv.VT_BOOL: return (short)bits != 0;
                case Kv.VT_BSTR: return BstrText(new IntPtr(bits));
                default: return null;
            }
        }

        private static string BstrText(IntPtr bstr)
        {
            if (bstr == IntPtr.Zero) return "";
            int length = (int)Native.kv_SysStringLen(bstr);
            var units = new char[length];
            Marshal.Copy(bstr, units, 0, length);
            return new string(units);
        }
    }
}
