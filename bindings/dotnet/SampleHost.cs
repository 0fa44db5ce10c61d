// A small host of kvopros2 in C#: SampleHost HOST PORT LOGFILE.
//
// It goes through a host's steps: show the library's log lines as they come,
// create the client, declare channels with their attributes, wait for the
// login, hand over values of several types, take the server's controls and
// answer each with the channel's new value, read the counters, destroy the
// client. Exit code 0 when every step went as expected.
//
//   mcs -out:SampleHost.exe Native.cs Client.cs SampleHost.cs    (Linux, mono)
//   csc -platform:x86 -out:SampleHost.exe Native.cs Client.cs SampleHost.cs
//                                          (Windows: the DLL is 32-bit)
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Threading;
using Kvopros2;

public static class SampleHost
{
    private const int WaitMilliseconds = 60000;
    private static readonly DateTime Stamp = new DateTime(2024, 1, 2, 3, 4, 5, 678);
    private static int failures;
    private static int logLines;

    private static void Check(bool ok, string what)
    {
        if (ok) return;
        Console.Error.WriteLine("sample: FAILED: " + what);
        ++failures;
    }

    private static bool WaitFor(Func<bool> condition)
    {
        var clock = Stopwatch.StartNew();
        while (!condition() && clock.ElapsedMilliseconds < WaitMilliseconds) Thread.Sleep(10);
        return condition();
    }

    private static string Text(object value)
    {
        if (value is bool) return (bool)value ? "true" : "false";
        return Convert.ToString(value);
    }

    // On the library's worker thread, one line at a time.
    private static void ShowLogLine(int level, string line)
    {
        Interlocked.Increment(ref logLines);
        string name = level == Kv.LOG_ERROR ? "ERROR"
            : level == Kv.LOG_WARNING ? "WARNING"
            : level == Kv.LOG_INFO ? "INFO"
            : level == Kv.LOG_DEBUG ? "DEBUG" : level.ToString();
        Console.WriteLine("log {0}| {1}", name, line);
    }

    // The channel takes the commanded value, stamped with the control's time.
    private static bool Answer(Client client, Control control)
    {
        Value value = control.Value is bool ? (Value)(bool)control.Value
                                            : (Value)Convert.ToString(control.Value);
        return client.RegisterValue(control.Address, value, control.Time, control.Quality);
    }

    public static int Main(string[] args)
    {
        if (args.Length != 3)
        {
            Console.Error.WriteLine("usage: SampleHost HOST PORT LOGFILE");
            return 2;
        }
        Client.SetLogCallback(ShowLogLine);
        // Rotate the log at 1 MiB, keeping 3 older files.
        Check(Client.SetOption(Kv.OPTION_LOG_MAX_BYTES, 1 << 20), "set the log size");
        Check(Client.SetOption(Kv.OPTION_LOG_FILES, 3), "set the log files");
        using (var client = new Client(args[0], int.Parse(args[1]), login: "bindings",
                                       debugLog: true, logFile: args[2]))
        {
            Check(client.RegisterChannel("Bind.Level", Kv.TYPE_FLOAT8, saveValue: true,
                                         comments: "Уровень в баке", unit: "м", format: "%.2f",
                                         signification: Kv.SIGNIFICATION_MONITOR), "declare Bind.Level");
            Check(client.RegisterChannel("Bind.Count", Kv.TYPE_INT4), "declare Bind.Count");
            Check(client.RegisterChannel("Bind.Small", Kv.TYPE_INT2), "declare Bind.Small");
            Check(client.RegisterChannel("Bind.Ratio", Kv.TYPE_FLOAT4), "declare Bind.Ratio");
            Check(client.RegisterChannel("Bind.Byte", Kv.TYPE_UINT1), "declare Bind.Byte");
            Check(client.RegisterChannel("Bind.Flag", Kv.TYPE_BOOLEAN), "declare Bind.Flag");
            Check(client.RegisterChannel("Bind.Mode", Kv.TYPE_STRING, writeEnable: true),
                  "declare Bind.Mode");
            Check(client.RegisterChannel("Bind.When", Kv.TYPE_DATE), "declare Bind.When");
            Check(client.RegisterChannel("Bind.Curve", Kv.TYPE_ARRAY | Kv.TYPE_FLOAT8), "declare Bind.Curve");
            Check(client.RegisterChannel("Bind.Names", Kv.TYPE_ARRAY | Kv.TYPE_STRING), "declare Bind.Names");
            Check(client.RegisterChannel("Bind.Valve", Kv.TYPE_BOOLEAN, true, false, "", "", "", "", "",
                                         Kv.SIGNIFICATION_CONTROL, "Закрыт", "Открыт"), "declare Bind.Valve");
            Check(client.RegisterAttribute("Bind.Level", Kv.ATTR_HI_LIMIT, Kv.TYPE_FLOAT8, 4.5),
                  "set the high limit");
            Check(client.RegisterAttribute("Bind.Valve", Kv.ATTR_ALARM_ID, Kv.TYPE_ARRAY | Kv.TYPE_INT4,
                                           new[] { 1, 2, 3 }), "set the alarm id");
            Console.WriteLine("sample: declared 11 channels");

            Check(WaitFor(client.IsServerConnected), "log in");
            Console.WriteLine("sample: logged in");

            Check(client.RegisterValue("Bind.Level", 1.5, Stamp), "hand over Bind.Level");
            Check(client.RegisterValue("Bind.Count", 42, Stamp), "hand over Bind.Count");
            Check(client.RegisterValue("Bind.Small", (short)-7, Stamp), "hand over Bind.Small");
            Check(client.RegisterValue("Bind.Ratio", 0.25f, Stamp), "hand over Bind.Ratio");
            Check(client.RegisterValue("Bind.Byte", (byte)200, Stamp), "hand over Bind.Byte");
            Check(client.RegisterValue("Bind.Flag", true, Stamp), "hand over Bind.Flag");
            Check(client.RegisterValue("Bind.Mode", "Авария", Stamp), "hand over Bind.Mode");
            Check(client.RegisterValue("Bind.When", new DateTime(2024, 5, 6, 7, 8, 9, 10), Stamp),
                  "hand over Bind.When");
            Check(client.RegisterValue("Bind.Curve", new[] { 1.0, 2.5, -3.0 }, Stamp),
                  "hand over Bind.Curve");
            Check(client.RegisterValue("Bind.Names", new[] { "Стоп", "Пуск" }, Stamp),
                  "hand over Bind.Names");
            // A bad quality keeps the channel's value and sends the quality with it.
            Check(client.RegisterValue("Bind.Count", 43, Stamp, Kv.QUALITY_NO_LINK), "a value of no link");
            Check(!client.RegisterValue("Bind.Missing", 1, Stamp), "an undeclared channel is refused");
            int result = Client.GetLastResult();
            Console.WriteLine("sample: Bind.Missing refused, last result {0}", result);
            Check(result == Kv.RESULT_UNKNOWN_CHANNEL, "the reason of the refusal");
            Console.WriteLine("sample: values handed over");
            Console.Out.Flush();

            var controls = new List<Control>();
            WaitFor(() =>
            {
                Control control = client.ReceiveControl();
                if (control != null) controls.Add(control);
                return controls.Count >= 2;
            });
            Check(controls.Count == 2, "two controls");
            foreach (Control control in controls)
            {
                Console.WriteLine("control {0} quality {1} time {2:yyyy-MM-dd HH:mm:ss.fff} " +
                                  "value {3}", control.Address, control.Quality, control.Time,
                                  Text(control.Value));
                Check(Answer(client, control), "answer " + control.Address);
            }
            Check(controls.Count == 2 && Equals(controls[0].Value, true) &&
                  Equals(controls[1].Value, "Норма"),
                  "the controls' values");
            // Closing does not wait for values still to send: wait until they went out.
            Check(WaitFor(() => client.GetStatistics().Value.ChannelsWaiting == 0),
                  "send the answers");

            Statistics stats = client.GetStatistics().Value;
            Console.WriteLine("statistics: logins {0}, controls received {1}, channels registered {2}",
                              stats.Logins, stats.ControlsReceived, stats.ChannelsRegistered);
            Check(stats.Logins == 1 && stats.ControlsReceived == 2 &&
                  stats.ChannelsRegistered == 11, "the counters");
            Check(client.Close(), "destroy the client");
        }
        Client.SetLogCallback(null);
        Check(logLines > 0, "the log lines came");
        Console.WriteLine("sample: " + (failures == 0 ? "done" : "FAILED"));
        return failures == 0 ? 0 : 1;
    }
}
