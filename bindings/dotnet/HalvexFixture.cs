// HalvexFixture.cs - the fixture layer (named nets, routes and interlocks) for C#, beside Halvex.cs.
//
// A 32-bit process uses HalvexFixture32.dll (HalvexFixture32D.dll when compiled with HALVEX32D
// defined) through Fixture32, a 64-bit one HalvexFixture64.dll through Fixture64, the same choice
// Native makes for the driver's DLL. Each fixture DLL goes beside its driver DLL. Programs use
// Fixture, which owns one handle and frees it when disposed:
//
//     Fixture fixture;
//     if (Fixture.Load(@"C:\bench\bench.toml", out fixture) == Native.Ok)
//         using (fixture)
//             if (fixture.Open("COM5") != Native.Ok || fixture.Connect("DMM_HI", "DUT_VCC") != Native.Ok)
//                 Console.WriteLine(fixture.LastError);
//
// Codes 0-9 are the driver's; 10 unknown name, 11 fixture file, 12 interlock, 13 no free path,
// 14 chassis does not match the file. The layer's texts are UTF-8.
using System;
using System.Runtime.InteropServices;
using System.Text;

namespace Halvex
{
    /// <summary>The 32-bit declarations: stdcall, HalvexFixture32.dll's names (HalvexFixture32D.dll's under HALVEX32D).</summary>
    public static class Fixture32
    {
#if HALVEX32D
        public const string Dll = "HalvexFixture32D.dll";
        const string ELoad = "HalvexFixtureLoad";
        const string EOpen = "HalvexFixtureOpen";
        const string EConnect = "HalvexFixtureConnect";
        const string EDisconnect = "HalvexFixtureDisconnect";
        const string EApply = "HalvexFixtureApply";
        const string ERelease = "HalvexFixtureRelease";
        const string ECloseRelay = "HalvexFixtureCloseRelay";
        const string EOpenRelay = "HalvexFixtureOpenRelay";
        const string EDisconnectAll = "HalvexFixtureDisconnectAll";
        const string ECheck = "HalvexFixtureCheck";
        const string EState = "HalvexFixtureState";
        const string ELastError = "HalvexFixtureLastError";
        const string ENets = "HalvexFixtureNets";
        const string ELastRefusal = "HalvexFixtureLastRefusal";
        const string EFree = "HalvexFixtureFree";
#else
        public const string Dll = "HalvexFixture32.dll";
        const string ELoad = "_HalvexFixtureLoad@8";
        const string EOpen = "_HalvexFixtureOpen@8";
        const string EConnect = "_HalvexFixtureConnect@12";
        const string EDisconnect = "_HalvexFixtureDisconnect@12";
        const string EApply = "_HalvexFixtureApply@8";
        const string ERelease = "_HalvexFixtureRelease@8";
        const string ECloseRelay = "_HalvexFixtureCloseRelay@8";
        const string EOpenRelay = "_HalvexFixtureOpenRelay@8";
        const string EDisconnectAll = "_HalvexFixtureDisconnectAll@4";
        const string ECheck = "_HalvexFixtureCheck@16";
        const string EState = "_HalvexFixtureState@16";
        const string ELastError = "_HalvexFixtureLastError@12";
        const string ENets = "_HalvexFixtureNets@12";
        const string ELastRefusal = "_HalvexFixtureLastRefusal@12";
        const string EFree = "_HalvexFixtureFree@4";
#endif

        [DllImport(Dll, EntryPoint = ELoad, CallingConvention = CallingConvention.StdCall)]
        public static extern int HalvexFixtureLoad(string path, out IntPtr fixture);
        [DllImport(Dll, EntryPoint = EOpen, CallingConvention = CallingConvention.StdCall)]
        public static extern int HalvexFixtureOpen(IntPtr fixture, string port);
        [DllImport(Dll, EntryPoint = EConnect, CallingConvention = CallingConvention.StdCall)]
        public static extern int HalvexFixtureConnect(IntPtr fixture, string netA, string netB);
        [DllImport(Dll, EntryPoint = EDisconnect, CallingConvention = CallingConvention.StdCall)]
        public static extern int HalvexFixtureDisconnect(IntPtr fixture, string netA, string netB);
        [DllImport(Dll, EntryPoint = EApply, CallingConvention = CallingConvention.StdCall)]
        public static extern int HalvexFixtureApply(IntPtr fixture, string routes);
        [DllImport(Dll, EntryPoint = ERelease, CallingConvention = CallingConvention.StdCall)]
        public static extern int HalvexFixtureRelease(IntPtr fixture, string routes);
        [DllImport(Dll, EntryPoint = ECloseRelay, CallingConvention = CallingConvention.StdCall)]
        public static extern int HalvexFixtureCloseRelay(IntPtr fixture, string relay);
        [DllImport(Dll, EntryPoint = EOpenRelay, CallingConvention = CallingConvention.StdCall)]
        public static extern int HalvexFixtureOpenRelay(IntPtr fixture, string relay);
        [DllImport(Dll, EntryPoint = EDisconnectAll, CallingConvention = CallingConvention.StdCall)]
        public static extern int HalvexFixtureDisconnectAll(IntPtr fixture);
        [DllImport(Dll, EntryPoint = ECheck, CallingConvention = CallingConvention.StdCall)]
        public static extern int HalvexFixtureCheck(IntPtr fixture, string operation, byte[] plan, int size);
        [DllImport(Dll, EntryPoint = EState, CallingConvention = CallingConvention.StdCall)]
        public static extern int HalvexFixtureState(IntPtr fixture, int json, byte[] buffer, int size);
        [DllImport(Dll, EntryPoint = ELastError, CallingConvention = CallingConvention.StdCall)]
        public static extern int HalvexFixtureLastError(IntPtr fixture, byte[] buffer, int size);
        [DllImport(Dll, EntryPoint = ENets, CallingConvention = CallingConvention.StdCall)]
        public static extern int HalvexFixtureNets(IntPtr fixture, byte[] buffer, int size);
        [DllImport(Dll, EntryPoint = ELastRefusal, CallingConvention = CallingConvention.StdCall)]
        public static extern int HalvexFixtureLastRefusal(IntPtr fixture, byte[] buffer, int size);
        [DllImport(Dll, EntryPoint = EFree, CallingConvention = CallingConvention.StdCall)]
        public static extern void HalvexFixtureFree(IntPtr fixture);
    }

    /// <summary>The 64-bit declarations: HalvexFixture64.dll's plain names.</summary>
    public static class Fixture64
    {
        public const string Dll = "HalvexFixture64.dll";

        [DllImport(Dll, EntryPoint = "HalvexFixtureLoad")]
        public static extern int HalvexFixtureLoad(string path, out IntPtr fixture);
        [DllImport(Dll, EntryPoint = "HalvexFixtureOpen")]
        public static extern int HalvexFixtureOpen(IntPtr fixture, string port);
        [DllImport(Dll, EntryPoint = "HalvexFixtureConnect")]
        public static extern int HalvexFixtureConnect(IntPtr fixture, string netA, string netB);
        [DllImport(Dll, EntryPoint = "HalvexFixtureDisconnect")]
        public static extern int HalvexFixtureDisconnect(IntPtr fixture, string netA, string netB);
        [DllImport(Dll, EntryPoint = "HalvexFixtureApply")]
        public static extern int HalvexFixtureApply(IntPtr fixture, string routes);
        [DllImport(Dll, EntryPoint = "HalvexFixtureRelease")]
        public static extern int HalvexFixtureRelease(IntPtr fixture, string routes);
        [DllImport(Dll, EntryPoint = "HalvexFixtureCloseRelay")]
        public static extern int HalvexFixtureCloseRelay(IntPtr fixture, string relay);
        [DllImport(Dll, EntryPoint = "HalvexFixtureOpenRelay")]
        public static extern int HalvexFixtureOpenRelay(IntPtr fixture, string relay);
        [DllImport(Dll, EntryPoint = "HalvexFixtureDisconnectAll")]
        public static extern int HalvexFixtureDisconnectAll(IntPtr fixture);
        [DllImport(Dll, EntryPoint = "HalvexFixtureCheck")]
        public static extern int HalvexFixtureCheck(IntPtr fixture, string operation, byte[] plan, int size);
        [DllImport(Dll, EntryPoint = "HalvexFixtureState")]
        public static extern int HalvexFixtureState(IntPtr fixture, int json, byte[] buffer, int size);
        [DllImport(Dll, EntryPoint = "HalvexFixtureLastError")]
        public static extern int HalvexFixtureLastError(IntPtr fixture, byte[] buffer, int size);
        [DllImport(Dll, EntryPoint = "HalvexFixtureNets")]
        public static extern int HalvexFixtureNets(IntPtr fixture, byte[] buffer, int size);
        [DllImport(Dll, EntryPoint = "HalvexFixtureLastRefusal")]
        public static extern int HalvexFixtureLastRefusal(IntPtr fixture, byte[] buffer, int size);
        [DllImport(Dll, EntryPoint = "HalvexFixtureFree")]
        public static extern void HalvexFixtureFree(IntPtr fixture);
    }

    /// <summary>One fixture file's layer over the chassis: what programs use.</summary>
    public sealed class Fixture : IDisposable
    {
        // The layer's texts (plans, state, nets, messages) are cut to fit this.
        const int TextMax = 65536;
        static readonly bool Wide = Native.Dll == Native64.Dll;
        IntPtr handle;

        Fixture(IntPtr handle)
        {
            this.handle = handle;
        }

        /// <summary>Reads a fixture file. On 11 the fixture is still given, for its LastError.</summary>
        public static int Load(string path, out Fixture fixture)
        {
            IntPtr h;
            int rc = Wide ? Fixture64.HalvexFixtureLoad(path, out h) : Fixture32.HalvexFixtureLoad(path, out h);
            fixture = h == IntPtr.Zero ? null : new Fixture(h);
            return rc;
        }

        public int Open(string port)
        {
            return Wide ? Fixture64.HalvexFixtureOpen(Handle, port) : Fixture32.HalvexFixtureOpen(Handle, port);
        }

        public int Connect(string netA, string netB)
        {
            return Wide ? Fixture64.HalvexFixtureConnect(Handle, netA, netB) : Fixture32.HalvexFixtureConnect(Handle, netA, netB);
        }

        public int Disconnect(string netA, string netB)
        {
            return Wide ? Fixture64.HalvexFixtureDisconnect(Handle, netA, netB) : Fixture32.HalvexFixtureDisconnect(Handle, netA, netB);
        }

        public int Apply(string routes)
        {
            return Wide ? Fixture64.HalvexFixtureApply(Handle, routes) : Fixture32.HalvexFixtureApply(Handle, routes);
        }

        public int Release(string routes)
        {
            return Wide ? Fixture64.HalvexFixtureRelease(Handle, routes) : Fixture32.HalvexFixtureRelease(Handle, routes);
        }

        public int CloseRelay(string relay)
        {
            return Wide ? Fixture64.HalvexFixtureCloseRelay(Handle, relay) : Fixture32.HalvexFixtureCloseRelay(Handle, relay);
        }

        public int OpenRelay(string relay)
        {
            return Wide ? Fixture64.HalvexFixtureOpenRelay(Handle, relay) : Fixture32.HalvexFixtureOpenRelay(Handle, relay);
        }

        public int DisconnectAll()
        {
            return Wide ? Fixture64.HalvexFixtureDisconnectAll(Handle) : Fixture32.HalvexFixtureDisconnectAll(Handle);
        }

        /// <summary>What an operation ("connect A B", "apply R", "close 1:ps:2") would switch, sending nothing.</summary>
        public int Check(string operation, out string plan)
        {
            byte[] buffer = new byte[TextMax];
            int rc = Wide ? Fixture64.HalvexFixtureCheck(Handle, operation, buffer, buffer.Length)
                          : Fixture32.HalvexFixtureCheck(Handle, operation, buffer, buffer.Length);
            plan = Decode(buffer);
            return rc;
        }

        /// <summary>Closed and unknown relays, connections, routes and joined nets; JSON when asked.</summary>
        public int State(bool json, out string state)
        {
            byte[] buffer = new byte[TextMax];
            int rc = Wide ? Fixture64.HalvexFixtureState(Handle, json ? 1 : 0, buffer, buffer.Length)
                          : Fixture32.HalvexFixtureState(Handle, json ? 1 : 0, buffer, buffer.Length);
            state = Decode(buffer);
            return rc;
        }

        /// <summary>The nets and routes of the file, as JSON.</summary>
        public string Nets { get { return Text(Wide ? (Getter)Fixture64.HalvexFixtureNets : Fixture32.HalvexFixtureNets); } }

        /// <summary>Why the last call failed; empty after a success.</summary>
        public string LastError { get { return Text(Wide ? (Getter)Fixture64.HalvexFixtureLastError : Fixture32.HalvexFixtureLastError); } }

        /// <summary>The last interlock refusal as JSON: rule, reason and chain.</summary>
        public string LastRefusal { get { return Text(Wide ? (Getter)Fixture64.HalvexFixtureLastRefusal : Fixture32.HalvexFixtureLastRefusal); } }

        public void Dispose()
        {
            if (handle == IntPtr.Zero)
                return;
            if (Wide)
                Fixture64.HalvexFixtureFree(handle);
            else
                Fixture32.HalvexFixtureFree(handle);
            handle = IntPtr.Zero;
        }

        delegate int Getter(IntPtr fixture, byte[] buffer, int size);

        IntPtr Handle
        {
            get
            {
                if (handle == IntPtr.Zero)
                    throw new ObjectDisposedException("Fixture");
                return handle;
            }
        }

        string Text(Getter get)
        {
            byte[] buffer = new byte[TextMax];
            get(Handle, buffer, buffer.Length);
            return Decode(buffer);
        }

        static string Decode(byte[] buffer)
        {
            int end = Array.IndexOf(buffer, (byte)0);
            return Encoding.UTF8.GetString(buffer, 0, end < 0 ? buffer.Length : end);
        }
    }
}
