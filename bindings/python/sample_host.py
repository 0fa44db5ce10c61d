"""A small host of kvopros2 in Python: sample_host.py HOST PORT LOGFILE.

It goes through a host's steps: show the library's log lines as they come,
create the client, declare channels with their attributes, wait for the
login, hand over values of several types, take the server's controls and
answer each with the channel's new value, read the counters, destroy the
client. Exit status 0 when every step went as expected.
"""

import sys
import time
from datetime import datetime

import kvopros2 as kv

STAMP = datetime(2024, 1, 2, 3, 4, 5, 678000)
WAIT_SECONDS = 60
failures = 0


def check(ok, what):
    global failures
    if not ok:
        print("sample: FAILED: " + what, file=sys.stderr)
        failures += 1


def wait_for(condition):
    deadline = time.monotonic() + WAIT_SECONDS
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.01)
    return condition()


def text(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    return str(value)


LEVELS = {kv.LOG_ERROR: "ERROR", kv.LOG_WARNING: "WARNING", kv.LOG_INFO: "INFO",
          kv.LOG_DEBUG: "DEBUG"}
log_lines = 0


def show_log_line(level, line):
    # On the library's worker thread, one line at a time.
    global log_lines
    log_lines += 1
    print("log %s| %s" % (LEVELS.get(level, level), line), flush=True)


def main(host, port, log_file):
    # Rotate the log at 1 MiB, keeping 3 older files.
    check(kv.set_option(kv.OPTION_LOG_MAX_BYTES, 1 << 20), "set the log size")
    check(kv.set_option(kv.OPTION_LOG_FILES, 3), "set the log files")
    with kv.Client(host, int(port), login="bindings", debug=True, log_file=log_file,
                   log_callback=show_log_line) as client:

        def declare(addr, data_type, **options):
            check(client.register_channel(addr, data_type, **options), "declare " + addr)

        declare("Bind.Level", kv.TYPE_FLOAT8, save_value=True, comments="Уровень в баке",
                unit="м", format="%.2f", signification=kv.SIGNIFICATION_MONITOR)
        declare("Bind.Count", kv.TYPE_INT4)
        declare("Bind.Small", kv.TYPE_INT2)
        declare("Bind.Ratio", kv.TYPE_FLOAT4)
        declare("Bind.Byte", kv.TYPE_UINT1)
        declare("Bind.Flag", kv.TYPE_BOOLEAN)
        declare("Bind.Mode", kv.TYPE_STRING, write_enable=True)
        declare("Bind.When", kv.TYPE_DATE)
        declare("Bind.Curve", kv.TYPE_ARRAY | kv.TYPE_FLOAT8)
        declare("Bind.Names", kv.TYPE_ARRAY | kv.TYPE_STRING)
        declare("Bind.Valve", kv.TYPE_BOOLEAN, write_enable=True,
                enum_texts=("Закрыт", "Открыт"), signification=kv.SIGNIFICATION_CONTROL)
        check(client.register_attribute("Bind.Level", kv.ATTR_HI_LIMIT, kv.TYPE_FLOAT8, 4.5),
              "set the high limit")
        check(client.register_attribute("Bind.Valve", kv.ATTR_ALARM_ID,
                                        kv.TYPE_ARRAY | kv.TYPE_INT4, [1, 2, 3]),
              "set the alarm id")
        print("sample: declared 11 channels")

        check(wait_for(client.is_server_connected), "log in")
        print("sample: logged in")

        values = [
            ("Bind.Level", 1.5),
            ("Bind.Count", 42),
            ("Bind.Small", -7),
            ("Bind.Ratio", 0.25),
            ("Bind.Byte", 200),
            ("Bind.Flag", True),
            ("Bind.Mode", "Авария"),
            ("Bind.When", datetime(2024, 5, 6, 7, 8, 9, 10000)),
            ("Bind.Curve", [1.0, 2.5, -3.0]),
            ("Bind.Names", ["Стоп", "Пуск"]),
        ]
        for addr, value in values:
            check(client.register_value(addr, value, STAMP, kv.QUALITY_GOOD), "hand over " + addr)
        # A bad quality keeps the channel's value and sends the quality with it.
        check(client.register_value("Bind.Count", 43, STAMP, kv.QUALITY_NO_LINK),
              "a value of no link")
        check(not client.register_value("Bind.Missing", 1, STAMP),
              "an undeclared channel is refused")
        result = kv.get_last_result()
        print("sample: Bind.Missing refused, last result %d" % result)
        check(result == kv.RESULT_UNKNOWN_CHANNEL, "the reason of the refusal")
        print("sample: values handed over", flush=True)

        controls = []

        def two_controls():
            control = client.receive_control()
            if control is not None:
                controls.append(control)
            return len(controls) >= 2

        wait_for(two_controls)
        check(len(controls) == 2, "two controls")
        for control in controls:
            print("control %s quality %d time %s value %s"
                  % (control.addr, control.quality, control.time, text(control.value)))
            # The channel takes the commanded value, stamped with the control's time.
            check(client.register_value(control.addr, control.value, control.time,
                                        control.quality), "answer " + control.addr)
        check([c.value for c in controls] == [True, "Норма"], "the controls' values")
        # Closing does not wait for values still to send: wait until they went out.
        check(wait_for(lambda: client.statistics()["channels_waiting"] == 0), "send the answers")

        stats = client.statistics()
        print("statistics: logins %d, controls received %d, channels registered %d"
              % (stats["logins"], stats["controls_received"], stats["channels_registered"]))
        check((stats["logins"], stats["controls_received"], stats["channels_registered"])
              == (1, 2, 11), "the counters")
        check(client.close(), "destroy the client")
    check(log_lines > 0, "the log lines came")
    print("sample: " + ("done" if failures == 0 else "FAILED"))
    return 0 if failures == 0 else 1


if __name__ == "__main__":
    if len(sys.argv) != 4:
        print("usage: sample_host.py HOST PORT LOGFILE", file=sys.stderr)
        sys.exit(2)
    sys.exit(main(*sys.argv[1:]))
