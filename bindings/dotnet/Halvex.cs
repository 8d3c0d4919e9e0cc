// Halvex.cs - the Halvex relay card driver for C# (and any .NET language).
//
// Windows: the DLLs are 32-bit, so the program must run as a 32-bit process: Platform target x86
// (<PlatformTarget>x86</PlatformTarget>; "Any CPU" runs 64-bit and fails to load them). Every
// function is stdcall and is found by the exact name its DLL exports: Halvex32.dll exports
// _OpenHalvex@4 and so on; Halvex32D.dll (compile with HALVEX32D defined) the plain names but
// for eight decorated ones. The SignalCallback is cdecl. Messages and identification texts are
// code page 949 (on .NET Core and .NET 5 or later, call
// Encoding.RegisterProvider(CodePagesEncodingProvider.Instance) once before using them).
// Mono on Linux runs the same file against libhalvex.so with a dllmap from these names to its
// plain ones.
using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;
using System.Text;

namespace Halvex
{
    /// <summary>One card found by discovery: 132 bytes, idText 128 bytes in code page 949.</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 4)]
    public struct CardInfo
    {
        public int CardNumber;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 128)]
        public byte[] IdText;

        public string Text { get { return Native.Decode(IdText); } }
    }

    /// <summary>One signal input of a reading: 8 bytes; State 1 = active.</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 4)]
    public struct SignalStatus
    {
        public int Channel;
        public int State;
    }

    /// <summary>Receives each reading (count entries at status) on the monitor's thread.</summary>
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void SignalCallback(IntPtr status, int count);

    public static class Native
    {
#if HALVEX32D
        public const string Dll = "Halvex32D.dll";
        const string EOpenHalvex = "OpenHalvex";
        const string ECloseHalvex = "CloseHalvex";
        const string EGetHalvexSeries = "GetHalvexSeries";
        const string EGetHalvexErrorInfo = "GetHalvexErrorInfo";
        const string ESelfTestHalvex = "SelfTestHalvex";
        const string EQueryHalvexID = "QueryHalvexID";
        const string EResetHalvex = "ResetHalvex";
        const string ECloseX16RelayMatrix = "CloseX16RelayMatrix";
        const string EOpenX16RelayMatrix = "OpenX16RelayMatrix";
        const string ECloseX16RowHiLoMatrix = "CloseX16RowHiLoMatrix";
        const string EOpenX16RowHiLoMatrix = "OpenX16RowHiLoMatrix";
        const string ECloseX16GPRelay = "CloseX16GPRelay";
        const string EOpenX16GPRelay = "OpenX16GPRelay";
        const string ECloseX16ExtGPRelay = "CloseX16ExtGPRelay";
        const string EOpenX16ExtGPRelay = "OpenX16ExtGPRelay";
        const string ECloseX16PsRelay = "CloseX16PsRelay";
        const string EOpenX16PsRelay = "OpenX16PsRelay";
        const string ECloseX16DischargeRelay = "CloseX16DischargeRelay";
        const string EOpenX16DischargeRelay = "OpenX16DischargeRelay";
        const string ECloseX16PullUpRelay = "CloseX16PullUpRelay";
        const string EOpenX16PullUpRelay = "OpenX16PullUpRelay";
        const string ECloseX16PullDownRelay = "CloseX16PullDownRelay";
        const string EOpenX16PullDownRelay = "OpenX16PullDownRelay";
        const string ECloseX16TestProbeRelay = "CloseX16TestProbeRelay";
        const string EOpenX16TestProbeRelay = "OpenX16TestProbeRelay";
        const string ECloseX16GndRelay = "CloseX16GndRelay";
        const string EOpenX16GndRelay = "OpenX16GndRelay";
        const string EBeginX16SignalMonitoring = "BeginX16SignalMonitoring";
        const string EEndX16SignalMonitoring = "EndX16SignalMonitoring";
        const string EGetX16SignalMonitoringData = "GetX16SignalMonitoringData";
        const string ECloseX48RelayMatrix = "CloseX48RelayMatrix";
        const string EOpenX48RelayMatrix = "OpenX48RelayMatrix";
        const string ECloseX48RowHiLoMatrix = "CloseX48RowHiLoMatrix";
        const string EOpenX48RowHiLoMatrix = "OpenX48RowHiLoMatrix";
        const string ECloseX48PullUpRelay = "_CloseX48PullUpRelay@4";
        const string EOpenX48PullUpRelay = "_OpenX48PullUpRelay@4";
        const string ECloseX48PullDownRelay = "_CloseX48PullDownRelay@4";
        const string EOpenX48PullDownRelay = "_OpenX48PullDownRelay@4";
        const string ECloseX48TestProbeRelay = "_CloseX48TestProbeRelay@4";
        const string EOpenX48TestProbeRelay = "_OpenX48TestProbeRelay@4";
        const string ECloseX48GndRelay = "_CloseX48GndRelay@4";
        const string EOpenX48GndRelay = "_OpenX48GndRelay@4";
        const string ECloseY48GPRelay = "CloseY48GPRelay";
        const string EOpenY48GPRelay = "OpenY48GPRelay";
        const string ECloseY48ExtGPRelay = "CloseY48ExtGPRelay";
        const string EOpenY48ExtGPRelay = "OpenY48ExtGPRelay";
        const string EBeginY48SignalMonitoring = "BeginY48SignalMonitoring";
        const string EEndY48SignalMonitoring = "EndY48SignalMonitoring";
        const string EGetY48SignalMonitoringData = "GetY48SignalMonitoringData";
#else
        public const string Dll = "Halvex32.dll";
        const string EOpenHalvex = "_OpenHalvex@4";
        const string ECloseHalvex = "_CloseHalvex@0";
        const string EGetHalvexSeries = "_GetHalvexSeries@8";
        const string EGetHalvexErrorInfo = "_GetHalvexErrorInfo@12";
        const string ESelfTestHalvex = "_SelfTestHalvex@12";
        const string EQueryHalvexID = "_QueryHalvexID@12";
        const string EResetHalvex = "_ResetHalvex@4";
        const string ECloseX16RelayMatrix = "_CloseX16RelayMatrix@12";
        const string EOpenX16RelayMatrix = "_OpenX16RelayMatrix@12";
        const string ECloseX16RowHiLoMatrix = "_CloseX16RowHiLoMatrix@12";
        const string EOpenX16RowHiLoMatrix = "_OpenX16RowHiLoMatrix@12";
        const string ECloseX16GPRelay = "_CloseX16GPRelay@8";
        const string EOpenX16GPRelay = "_OpenX16GPRelay@8";
        const string ECloseX16ExtGPRelay = "_CloseX16ExtGPRelay@8";
        const string EOpenX16ExtGPRelay = "_OpenX16ExtGPRelay@8";
        const string ECloseX16PsRelay = "_CloseX16PsRelay@8";
        const string EOpenX16PsRelay = "_OpenX16PsRelay@8";
        const string ECloseX16DischargeRelay = "_CloseX16DischargeRelay@8";
        const string EOpenX16DischargeRelay = "_OpenX16DischargeRelay@8";
        const string ECloseX16PullUpRelay = "_CloseX16PullUpRelay@4";
        const string EOpenX16PullUpRelay = "_OpenX16PullUpRelay@4";
        const string ECloseX16PullDownRelay = "_CloseX16PullDownRelay@4";
        const string EOpenX16PullDownRelay = "_OpenX16PullDownRelay@4";
        const string ECloseX16TestProbeRelay = "_CloseX16TestProbeRelay@4";
        const string EOpenX16TestProbeRelay = "_OpenX16TestProbeRelay@4";
        const string ECloseX16GndRelay = "_CloseX16GndRelay@4";
        const string EOpenX16GndRelay = "_OpenX16GndRelay@4";
        const string EBeginX16SignalMonitoring = "_BeginX16SignalMonitoring@20";
        const string EEndX16SignalMonitoring = "_EndX16SignalMonitoring@4";
        const string EGetX16SignalMonitoringData = "_GetX16SignalMonitoringData@12";
        const string ECloseX48RelayMatrix = "_CloseX48RelayMatrix@12";
        const string EOpenX48RelayMatrix = "_OpenX48RelayMatrix@12";
        const string ECloseX48RowHiLoMatrix = "_CloseX48RowHiLoMatrix@12";
        const string EOpenX48RowHiLoMatrix = "_OpenX48RowHiLoMatrix@12";
        const string ECloseX48PullUpRelay = "_CloseX48PullUpRelay@4";
        const string EOpenX48PullUpRelay = "_OpenX48PullUpRelay@4";
        const string ECloseX48PullDownRelay = "_CloseX48PullDownRelay@4";
        const string EOpenX48PullDownRelay = "_OpenX48PullDownRelay@4";
        const string ECloseX48TestProbeRelay = "_CloseX48TestProbeRelay@4";
        const string EOpenX48TestProbeRelay = "_OpenX48TestProbeRelay@4";
        const string ECloseX48GndRelay = "_CloseX48GndRelay@4";
        const string EOpenX48GndRelay = "_OpenX48GndRelay@4";
        const string ECloseY48GPRelay = "_CloseY48GPRelay@8";
        const string EOpenY48GPRelay = "_OpenY48GPRelay@8";
        const string ECloseY48ExtGPRelay = "_CloseY48ExtGPRelay@8";
        const string EOpenY48ExtGPRelay = "_OpenY48ExtGPRelay@8";
        const string EBeginY48SignalMonitoring = "_BeginY48SignalMonitoring@20";
        const string EEndY48SignalMonitoring = "_EndY48SignalMonitoring@4";
        const string EGetY48SignalMonitoringData = "_GetY48SignalMonitoringData@12";
#endif

        public const int Ok = 0;
        public const int MessageMax = 52; // a message and its terminator
        public const int ReplyMax = 256;  // SelfTestHalvex and QueryHalvexID replies

        [DllImport(Dll, EntryPoint = EOpenHalvex, CallingConvention = CallingConvention.StdCall)]
        public static extern int OpenHalvex(string portName);
        [DllImport(Dll, EntryPoint = ECloseHalvex, CallingConvention = CallingConvention.StdCall)]
        public static extern int CloseHalvex();
        [DllImport(Dll, EntryPoint = EGetHalvexSeries, CallingConvention = CallingConvention.StdCall)]
        public static extern int GetHalvexSeries(out IntPtr records, out int count);
        [DllImport(Dll, EntryPoint = EGetHalvexErrorInfo, CallingConvention = CallingConvention.StdCall)]
        public static extern int GetHalvexErrorInfo(int code, byte[] buffer, int bufferSize);
        [DllImport(Dll, EntryPoint = ESelfTestHalvex, CallingConvention = CallingConvention.StdCall)]
        public static extern int SelfTestHalvex(int cardNumber, byte[] reply, out int replyLength);
        [DllImport(Dll, EntryPoint = EQueryHalvexID, CallingConvention = CallingConvention.StdCall)]
        public static extern int QueryHalvexID(int cardNumber, byte[] reply, out int replyLength);
        [DllImport(Dll, EntryPoint = EResetHalvex, CallingConvention = CallingConvention.StdCall)]
        public static extern int ResetHalvex(int cardNumber);
        [DllImport(Dll, EntryPoint = ECloseX16RelayMatrix, CallingConvention = CallingConvention.StdCall)]
        public static extern int CloseX16RelayMatrix(int cardNumber, int row, int column);
        [DllImport(Dll, EntryPoint = EOpenX16RelayMatrix, CallingConvention = CallingConvention.StdCall)]
        public static extern int OpenX16RelayMatrix(int cardNumber, int row, int column);
        [DllImport(Dll, EntryPoint = ECloseX16RowHiLoMatrix, CallingConvention = CallingConvention.StdCall)]
        public static extern int CloseX16RowHiLoMatrix(int cardNumber, int row, int lo);
        [DllImport(Dll, EntryPoint = EOpenX16RowHiLoMatrix, CallingConvention = CallingConvention.StdCall)]
        public static extern int OpenX16RowHiLoMatrix(int cardNumber, int row, int lo);
        [DllImport(Dll, EntryPoint = ECloseX16GPRelay, CallingConvention = CallingConvention.StdCall)]
        public static extern int CloseX16GPRelay(int cardNumber, int relay);
        [DllImport(Dll, EntryPoint = EOpenX16GPRelay, CallingConvention = CallingConvention.StdCall)]
        public static extern int OpenX16GPRelay(int cardNumber, int relay);
        [DllImport(Dll, EntryPoint = ECloseX16ExtGPRelay, CallingConvention = CallingConvention.StdCall)]
        public static extern int CloseX16ExtGPRelay(int cardNumber, int relay);
        [DllImport(Dll, EntryPoint = EOpenX16ExtGPRelay, CallingConvention = CallingConvention.StdCall)]
        public static extern int OpenX16ExtGPRelay(int cardNumber, int relay);
        [DllImport(Dll, EntryPoint = ECloseX16PsRelay, CallingConvention = CallingConvention.StdCall)]
        public static extern int CloseX16PsRelay(int cardNumber, int relay);
        [DllImport(Dll, EntryPoint = EOpenX16PsRelay, CallingConvention = CallingConvention.StdCall)]
        public static extern int OpenX16PsRelay(int cardNumber, int relay);
        [DllImport(Dll, EntryPoint = ECloseX16DischargeRelay, CallingConvention = CallingConvention.StdCall)]
        public static extern int CloseX16DischargeRelay(int cardNumber, int relay);
        [DllImport(Dll, EntryPoint = EOpenX16DischargeRelay, CallingConvention = CallingConvention.StdCall)]
        public static extern int OpenX16DischargeRelay(int cardNumber, int relay);
        [DllImport(Dll, EntryPoint = ECloseX16PullUpRelay, CallingConvention = CallingConvention.StdCall)]
        public static extern int CloseX16PullUpRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = EOpenX16PullUpRelay, CallingConvention = CallingConvention.StdCall)]
        public static extern int OpenX16PullUpRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = ECloseX16PullDownRelay, CallingConvention = CallingConvention.StdCall)]
        public static extern int CloseX16PullDownRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = EOpenX16PullDownRelay, CallingConvention = CallingConvention.StdCall)]
        public static extern int OpenX16PullDownRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = ECloseX16TestProbeRelay, CallingConvention = CallingConvention.StdCall)]
        public static extern int CloseX16TestProbeRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = EOpenX16TestProbeRelay, CallingConvention = CallingConvention.StdCall)]
        public static extern int OpenX16TestProbeRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = ECloseX16GndRelay, CallingConvention = CallingConvention.StdCall)]
        public static extern int CloseX16GndRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = EOpenX16GndRelay, CallingConvention = CallingConvention.StdCall)]
        public static extern int OpenX16GndRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = EBeginX16SignalMonitoring, CallingConvention = CallingConvention.StdCall)]
        public static extern int BeginX16SignalMonitoring(int cardNumber, string port, double intervalSeconds, SignalCallback callback);
        [DllImport(Dll, EntryPoint = EEndX16SignalMonitoring, CallingConvention = CallingConvention.StdCall)]
        public static extern int EndX16SignalMonitoring(int cardNumber);
        [DllImport(Dll, EntryPoint = EGetX16SignalMonitoringData, CallingConvention = CallingConvention.StdCall)]
        public static extern int GetX16SignalMonitoringData(int cardNumber, string port, out int value);
        [DllImport(Dll, EntryPoint = ECloseX48RelayMatrix, CallingConvention = CallingConvention.StdCall)]
        public static extern int CloseX48RelayMatrix(int cardNumber, int row, int column);
        [DllImport(Dll, EntryPoint = EOpenX48RelayMatrix, CallingConvention = CallingConvention.StdCall)]
        public static extern int OpenX48RelayMatrix(int cardNumber, int row, int column);
        [DllImport(Dll, EntryPoint = ECloseX48RowHiLoMatrix, CallingConvention = CallingConvention.StdCall)]
        public static extern int CloseX48RowHiLoMatrix(int cardNumber, int row, int lo);
        [DllImport(Dll, EntryPoint = EOpenX48RowHiLoMatrix, CallingConvention = CallingConvention.StdCall)]
        public static extern int OpenX48RowHiLoMatrix(int cardNumber, int row, int lo);
        [DllImport(Dll, EntryPoint = ECloseX48PullUpRelay, CallingConvention = CallingConvention.StdCall)]
        public static extern int CloseX48PullUpRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = EOpenX48PullUpRelay, CallingConvention = CallingConvention.StdCall)]
        public static extern int OpenX48PullUpRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = ECloseX48PullDownRelay, CallingConvention = CallingConvention.StdCall)]
        public static extern int CloseX48PullDownRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = EOpenX48PullDownRelay, CallingConvention = CallingConvention.StdCall)]
        public static extern int OpenX48PullDownRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = ECloseX48TestProbeRelay, CallingConvention = CallingConvention.StdCall)]
        public static extern int CloseX48TestProbeRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = EOpenX48TestProbeRelay, CallingConvention = CallingConvention.StdCall)]
        public static extern int OpenX48TestProbeRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = ECloseX48GndRelay, CallingConvention = CallingConvention.StdCall)]
        public static extern int CloseX48GndRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = EOpenX48GndRelay, CallingConvention = CallingConvention.StdCall)]
        public static extern int OpenX48GndRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = ECloseY48GPRelay, CallingConvention = CallingConvention.StdCall)]
        public static extern int CloseY48GPRelay(int cardNumber, int relay);
        [DllImport(Dll, EntryPoint = EOpenY48GPRelay, CallingConvention = CallingConvention.StdCall)]
        public static extern int OpenY48GPRelay(int cardNumber, int relay);
        [DllImport(Dll, EntryPoint = ECloseY48ExtGPRelay, CallingConvention = CallingConvention.StdCall)]
        public static extern int CloseY48ExtGPRelay(int cardNumber, int relay);
        [DllImport(Dll, EntryPoint = EOpenY48ExtGPRelay, CallingConvention = CallingConvention.StdCall)]
        public static extern int OpenY48ExtGPRelay(int cardNumber, int relay);
        [DllImport(Dll, EntryPoint = EBeginY48SignalMonitoring, CallingConvention = CallingConvention.StdCall)]
        public static extern int BeginY48SignalMonitoring(int cardNumber, string port, double intervalSeconds, SignalCallback callback);
        [DllImport(Dll, EntryPoint = EEndY48SignalMonitoring, CallingConvention = CallingConvention.StdCall)]
        public static extern int EndY48SignalMonitoring(int cardNumber);
        [DllImport(Dll, EntryPoint = EGetY48SignalMonitoringData, CallingConvention = CallingConvention.StdCall)]
        public static extern int GetY48SignalMonitoringData(int cardNumber, string port, out int value);

        // ---- Helpers: the pitfalls handled once ----

        /// <summary>Code page 949 text up to its terminating zero.</summary>
        public static string Decode(byte[] text)
        {
            int length = Array.IndexOf(text, (byte)0);
            return Encoding.GetEncoding(949).GetString(text, 0, length < 0 ? text.Length : length);
        }

        /// <summary>The message of a result code.</summary>
        public static string ErrorText(int code)
        {
            byte[] buffer = new byte[MessageMax];
            GetHalvexErrorInfo(code, buffer, buffer.Length);
            return Decode(buffer);
        }

        /// <summary>The cards found by the last discovery; the library's array is released.</summary>
        public static CardInfo[] ListCards()
        {
            IntPtr records;
            int count;
            GetHalvexSeries(out records, out count);
            CardInfo[] cards = new CardInfo[count];
            int size = Marshal.SizeOf(typeof(CardInfo)); // 132
            for (int i = 0; i < count; ++i)
                cards[i] = (CardInfo)Marshal.PtrToStructure(new IntPtr(records.ToInt64() + i * size), typeof(CardInfo));
            ReleaseSeries(records);
            return cards;
        }

        /// <summary>The count entries of a reading, copied out during the callback.</summary>
        public static SignalStatus[] ReadStatus(IntPtr status, int count)
        {
            SignalStatus[] entries = new SignalStatus[count];
            int size = Marshal.SizeOf(typeof(SignalStatus)); // 8
            for (int i = 0; i < count; ++i)
                entries[i] = (SignalStatus)Marshal.PtrToStructure(new IntPtr(status.ToInt64() + i * size), typeof(SignalStatus));
            return entries;
        }

        // The library calls a delegate until End returns: keep it from the garbage collector.
        static readonly Dictionary<int, SignalCallback> monitors = new Dictionary<int, SignalCallback>();

        public static int BeginX16(int cardNumber, string port, double intervalSeconds, SignalCallback callback)
        {
            SignalCallback running = Hold(cardNumber, callback);
            int result = BeginX16SignalMonitoring(cardNumber, port, intervalSeconds, callback);
            if (result != 0)
                Restore(cardNumber, running);
            return result;
        }

        public static int EndX16(int cardNumber)
        {
            int result = EndX16SignalMonitoring(cardNumber);
            lock (monitors) monitors.Remove(cardNumber);
            return result;
        }

        public static int BeginY48(int cardNumber, string port, double intervalSeconds, SignalCallback callback)
        {
            SignalCallback running = Hold(cardNumber, callback);
            int result = BeginY48SignalMonitoring(cardNumber, port, intervalSeconds, callback);
            if (result != 0)
                Restore(cardNumber, running);
            return result;
        }

        public static int EndY48(int cardNumber)
        {
            int result = EndY48SignalMonitoring(cardNumber);
            lock (monitors) monitors.Remove(cardNumber);
            return result;
        }

        // Held before Begin, which may deliver a reading before it returns; gives back the
        // delegate of a monitor already running on the card (null if none).
        static SignalCallback Hold(int cardNumber, SignalCallback callback)
        {
            lock (monitors)
            {
                SignalCallback running;
                monitors.TryGetValue(cardNumber, out running);
                monitors[cardNumber] = callback;
                return running;
            }
        }

        // A refused Begin (5 on a card already monitored) leaves the running monitor's delegate held.
        static void Restore(int cardNumber, SignalCallback running)
        {
            lock (monitors)
            {
                if (running != null)
                    monitors[cardNumber] = running;
                else
                    monitors.Remove(cardNumber);
            }
        }

        /// <summary>Stops a 64-bit process on Windows before the DLL fails to load in it.</summary>
        public static void CheckProcess()
        {
            if (Environment.OSVersion.Platform == PlatformID.Win32NT && IntPtr.Size != 4)
                throw new PlatformNotSupportedException(Dll + " is 32-bit: build with Platform target x86");
        }

        /// <summary>Releases GetHalvexSeries' array: the process heap on Windows, malloc elsewhere.</summary>
        public static bool ReleaseSeries(IntPtr records)
        {
            if (Environment.OSVersion.Platform == PlatformID.Win32NT)
                return HeapFree(GetProcessHeap(), 0, records);
            free(records);
            return true;
        }

        [DllImport("kernel32.dll")]
        static extern IntPtr GetProcessHeap();
        [DllImport("kernel32.dll")]
        static extern bool HeapFree(IntPtr heap, uint flags, IntPtr block);
        [DllImport("libc")]
        static extern void free(IntPtr block);
    }
}
