// The C# client of the calling guide: bindings/dotnet/Halvex.cs as a Windows program uses it,
// run by mono against libhalvex.so. It prints the same step lines as the MSVC-ABI C client, for
// check_client.py. Environment: HALVEX_PORT, HALVEX_MONITOR_PORTS (slots 1 to 16).
using System;
using System.IO;
using System.Text;
using System.Threading;
using Halvex;

static class HalvexSample
{
    static TextWriter output;
    static int readings;
    static SignalStatus[] first;

    static void Report(string step, object value)
    {
        output.WriteLine(step + " " + value);
    }

    static void OnReading(IntPtr status, int count)
    {
        if (Interlocked.Increment(ref readings) == 1)
            first = Native.ReadStatus(status, count);
    }

    static int Main()
    {
        output = new StreamWriter(Console.OpenStandardOutput(), new UTF8Encoding(false));
        ((StreamWriter)output).AutoFlush = true;
        Native.CheckProcess();
        string port = Environment.GetEnvironmentVariable("HALVEX_PORT");
        string monitor = Environment.GetEnvironmentVariable("HALVEX_MONITOR_PORTS").Split(',')[2];

        Report("cardinfo-size", System.Runtime.InteropServices.Marshal.SizeOf(typeof(CardInfo)));
        Report("open", Native.OpenHalvex(port));
        IntPtr records;
        int count;
        Report("series", Native.GetHalvexSeries(out records, out count));
        Report("count", count);
        Report("series-freed", Native.ReleaseSeries(records) ? 1 : 0);
        foreach (CardInfo card in Native.ListCards())
            Report("card " + card.CardNumber, card.Text);

        Report("close-matrix", Native.CloseX16RelayMatrix(3, 5, 7));
        Report("wrong-model", Native.CloseY48GPRelay(3, 1));
        Report("x48-on-x16", Native.OpenX48GndRelay(3));
        int missing = Native.ResetHalvex(9);
        Report("no-card", missing);
        Report("message " + missing, Native.ErrorText(missing));

        SignalCallback callback = OnReading;
        Report("monitor-begin", Native.BeginX16(3, monitor, 0.05, callback));
        for (int i = 0; i < 50 && Volatile.Read(ref readings) < 3; ++i)
            Thread.Sleep(20);
        Report("monitor-end", Native.EndX16(3));
        Report("readings", readings > 0 ? 1 : 0);
        StringBuilder line = new StringBuilder(first == null ? "0" : first.Length.ToString());
        if (first != null)
            foreach (SignalStatus entry in first)
                line.Append(" " + entry.Channel + ":" + entry.State);
        Report("first-reading", line);

        int wrong = Native.OpenX48PullUpRelay(3);
        Report("by-name " + wrong, Native.ErrorText(wrong));
        Report("close", Native.CloseHalvex());
        return 0;
    }
}
