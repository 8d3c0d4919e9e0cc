// The C# client of the fixture layer: bindings/dotnet/HalvexFixture.cs as a Windows program uses
// it, run by mono against libhalvex-fixture.so. One line a step, for run_dotnet.py to judge.
// Arguments: the fixture file. Environment: HALVEX_PORT.
using System;
using Halvex;

static class FixtureSample
{
    static void Report(string step, object value)
    {
        Console.WriteLine(step + " " + value);
    }

    static int Main(string[] args)
    {
        Fixture fixture;
        Report("load", Fixture.Load(args[0], out fixture));
        using (fixture)
        {
            Report("open", fixture.Open(Environment.GetEnvironmentVariable("HALVEX_PORT")));
            Report("apply", fixture.Apply("power"));
            Report("forbidden", fixture.Connect("DUT", "GND"));
            Report("refusal", fixture.LastRefusal.Contains("\"shorts the supply\"") ? 1 : 0);
            string plan;
            Report("check", fixture.Check("close 3:matrix:1:4", out plan));
            string state;
            Report("state", fixture.State(true, out state));
            Report("state-has-route", state.Contains("\"power\"") ? 1 : 0);
            Report("nets-has-psu", fixture.Nets.Contains("\"PSU\"") ? 1 : 0);
            Report("unknown", fixture.Connect("NOPE", "DUT"));
            Report("release", fixture.Release("power"));
            Report("close-relay", fixture.CloseRelay("7:gp:1"));
            Report("disconnect-all", fixture.DisconnectAll());
            Report("last-error", fixture.LastError.Length);
        }
        try
        {
            fixture.Apply("power");
            Report("after-dispose", "called");
        }
        catch (ObjectDisposedException)
        {
            Report("after-dispose", "refused");
        }
        return 0;
    }
}
