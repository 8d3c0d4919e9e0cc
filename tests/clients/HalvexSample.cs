// The C# client of the calling guide: bindings/dotnet/Halvex.cs as a Windows program uses it,
// run by mono against libhalvex.so. It prints the same step lines as the MSVC-ABI C client, for
// check_client.py. Environment: HALVEX_PORT, HALVEX_MONITOR_PORTS (slots 1 to 16).
using System;
using System.Diagnostics;
using System.IO;
using System.Runtime.CompilerServices;
using System.Text;
using System.Threading;
using Halvex;

// The readings of one monitor. Its delegate is bound to this object, as most programs' callbacks
// are: Mono frees the native entry point of such a delegate when the delegate is collected.
sealed class Readings
{
    public int Count;
    public SignalStatus[] First;

    public void OnReading(IntPtr status, int count)
    {
        if (Interlocked.Increment(ref Count) == 1)
            First = Native.ReadStatus(status, count);
    }
}

static class HalvexSample
{
    static TextWriter output;
    static readonly Readings readings = new Readings();

    static void Report(string step, object value)
    {
        output.WriteLine(step + " " + value);
    }

    // Only Native holds the monitor's delegate once this returns.
    [MethodImpl(MethodImplOptions.NoInlining)]
    static int StartMonitor(string port)
    {
        return Native.BeginX16(3, port, 0.05, readings.OnReading);
    }

    // Readings of a loaded machine (Wine's or Mono's start, the port's open) may take a while.
    static bool WaitForReadings(int count)
    {
        Stopwatch watch = Stopwatch.StartNew();
        while (Volatile.Read(ref readings.Count) < count && watch.Elapsed.TotalSeconds < 15)
            Thread.Sleep(20);
        return Volatile.Read(ref readings.Count) >= count;
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

        Report("monitor-begin", StartMonitor(monitor));
        Report("monitor-first", WaitForReadings(1) ? 1 : 0);
        // Refused on a running monitor; the delegate the monitor calls must stay held.
        Report("monitor-again", Native.BeginX16(3, monitor, 0.05, (status, n) => { }));
        GC.Collect();
        GC.WaitForPendingFinalizers();
        Report("monitor-kept", WaitForReadings(Volatile.Read(ref readings.Count) + 3) ? 1 : 0);
        Report("monitor-end", Native.EndX16(3));
        Report("readings", readings.Count > 0 ? 1 : 0);
        StringBuilder line = new StringBuilder(readings.First == null ? "0" : readings.First.Length.ToString());
        if (readings.First != null)
            foreach (SignalStatus entry in readings.First)
                line.Append(" " + entry.Channel + ":" + entry.State);
        Report("first-reading", line);

        int wrong = Native.OpenX48PullUpRelay(3);
        Report("by-name " + wrong, Native.ErrorText(wrong));
        Report("close", Native.CloseHalvex());
        return 0;
    }
}
