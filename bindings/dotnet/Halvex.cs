// Halvex.cs - the Halvex relay card driver for C# (and any .NET language).
//
// Windows: one file for both bitnesses. A 32-bit (x86) process uses Halvex32.dll (Halvex32D.dll
// when compiled with HALVEX32D defined) through Native32, a 64-bit (x64) process Halvex64.dll
// through Native64; Native, which programs call, picks one by the process's architecture on its
// first call, so "Any CPU" works, and refuses a process neither DLL fits (ARM64) with a
// PlatformNotSupportedException that says so. Every entry is found by the exact name its DLL
// exports: Halvex32.dll exports _OpenHalvex@4 and so on; Halvex32D.dll the plain names but for
// eight decorated ones; Halvex64.dll the plain names. On 32-bit the functions are stdcall and the
// SignalCallback cdecl; x64 has one calling convention, and both are ignored there. Messages and
// identification texts are code page 949 (on .NET Core and .NET 5 or later, call
// Encoding.RegisterProvider(CodePagesEncodingProvider.Instance) once before using them).
// Mono on Linux runs the same file against libhalvex.so with a dllmap from these names to its
// plain ones: the 64-bit declarations, or the 32-bit ones when HALVEX_DOTNET_NAMES is 32.
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

    /// <summary>The 32-bit declarations: stdcall, Halvex32.dll's names (Halvex32D.dll's under HALVEX32D).</summary>
    public static class Native32
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
    }

    /// <summary>The 64-bit declarations: Halvex64.dll's plain names, x64's one convention.</summary>
    public static class Native64
    {
        public const string Dll = "Halvex64.dll";

        [DllImport(Dll, EntryPoint = "OpenHalvex")]
        public static extern int OpenHalvex(string portName);
        [DllImport(Dll, EntryPoint = "CloseHalvex")]
        public static extern int CloseHalvex();
        [DllImport(Dll, EntryPoint = "GetHalvexSeries")]
        public static extern int GetHalvexSeries(out IntPtr records, out int count);
        [DllImport(Dll, EntryPoint = "GetHalvexErrorInfo")]
        public static extern int GetHalvexErrorInfo(int code, byte[] buffer, int bufferSize);
        [DllImport(Dll, EntryPoint = "SelfTestHalvex")]
        public static extern int SelfTestHalvex(int cardNumber, byte[] reply, out int replyLength);
        [DllImport(Dll, EntryPoint = "QueryHalvexID")]
        public static extern int QueryHalvexID(int cardNumber, byte[] reply, out int replyLength);
        [DllImport(Dll, EntryPoint = "ResetHalvex")]
        public static extern int ResetHalvex(int cardNumber);
        [DllImport(Dll, EntryPoint = "CloseX16RelayMatrix")]
        public static extern int CloseX16RelayMatrix(int cardNumber, int row, int column);
        [DllImport(Dll, EntryPoint = "OpenX16RelayMatrix")]
        public static extern int OpenX16RelayMatrix(int cardNumber, int row, int column);
        [DllImport(Dll, EntryPoint = "CloseX16RowHiLoMatrix")]
        public static extern int CloseX16RowHiLoMatrix(int cardNumber, int row, int lo);
        [DllImport(Dll, EntryPoint = "OpenX16RowHiLoMatrix")]
        public static extern int OpenX16RowHiLoMatrix(int cardNumber, int row, int lo);
        [DllImport(Dll, EntryPoint = "CloseX16GPRelay")]
        public static extern int CloseX16GPRelay(int cardNumber, int relay);
        [DllImport(Dll, EntryPoint = "OpenX16GPRelay")]
        public static extern int OpenX16GPRelay(int cardNumber, int relay);
        [DllImport(Dll, EntryPoint = "CloseX16ExtGPRelay")]
        public static extern int CloseX16ExtGPRelay(int cardNumber, int relay);
        [DllImport(Dll, EntryPoint = "OpenX16ExtGPRelay")]
        public static extern int OpenX16ExtGPRelay(int cardNumber, int relay);
        [DllImport(Dll, EntryPoint = "CloseX16PsRelay")]
        public static extern int CloseX16PsRelay(int cardNumber, int relay);
        [DllImport(Dll, EntryPoint = "OpenX16PsRelay")]
        public static extern int OpenX16PsRelay(int cardNumber, int relay);
        [DllImport(Dll, EntryPoint = "CloseX16DischargeRelay")]
        public static extern int CloseX16DischargeRelay(int cardNumber, int relay);
        [DllImport(Dll, EntryPoint = "OpenX16DischargeRelay")]
        public static extern int OpenX16DischargeRelay(int cardNumber, int relay);
        [DllImport(Dll, EntryPoint = "CloseX16PullUpRelay")]
        public static extern int CloseX16PullUpRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = "OpenX16PullUpRelay")]
        public static extern int OpenX16PullUpRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = "CloseX16PullDownRelay")]
        public static extern int CloseX16PullDownRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = "OpenX16PullDownRelay")]
        public static extern int OpenX16PullDownRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = "CloseX16TestProbeRelay")]
        public static extern int CloseX16TestProbeRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = "OpenX16TestProbeRelay")]
        public static extern int OpenX16TestProbeRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = "CloseX16GndRelay")]
        public static extern int CloseX16GndRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = "OpenX16GndRelay")]
        public static extern int OpenX16GndRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = "BeginX16SignalMonitoring")]
        public static extern int BeginX16SignalMonitoring(int cardNumber, string port, double intervalSeconds, SignalCallback callback);
        [DllImport(Dll, EntryPoint = "EndX16SignalMonitoring")]
        public static extern int EndX16SignalMonitoring(int cardNumber);
        [DllImport(Dll, EntryPoint = "GetX16SignalMonitoringData")]
        public static extern int GetX16SignalMonitoringData(int cardNumber, string port, out int value);
        [DllImport(Dll, EntryPoint = "CloseX48RelayMatrix")]
        public static extern int CloseX48RelayMatrix(int cardNumber, int row, int column);
        [DllImport(Dll, EntryPoint = "OpenX48RelayMatrix")]
        public static extern int OpenX48RelayMatrix(int cardNumber, int row, int column);
        [DllImport(Dll, EntryPoint = "CloseX48RowHiLoMatrix")]
        public static extern int CloseX48RowHiLoMatrix(int cardNumber, int row, int lo);
        [DllImport(Dll, EntryPoint = "OpenX48RowHiLoMatrix")]
        public static extern int OpenX48RowHiLoMatrix(int cardNumber, int row, int lo);
        [DllImport(Dll, EntryPoint = "CloseX48PullUpRelay")]
        public static extern int CloseX48PullUpRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = "OpenX48PullUpRelay")]
        public static extern int OpenX48PullUpRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = "CloseX48PullDownRelay")]
        public static extern int CloseX48PullDownRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = "OpenX48PullDownRelay")]
        public static extern int OpenX48PullDownRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = "CloseX48TestProbeRelay")]
        public static extern int CloseX48TestProbeRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = "OpenX48TestProbeRelay")]
        public static extern int OpenX48TestProbeRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = "CloseX48GndRelay")]
        public static extern int CloseX48GndRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = "OpenX48GndRelay")]
        public static extern int OpenX48GndRelay(int cardNumber);
        [DllImport(Dll, EntryPoint = "CloseY48GPRelay")]
        public static extern int CloseY48GPRelay(int cardNumber, int relay);
        [DllImport(Dll, EntryPoint = "OpenY48GPRelay")]
        public static extern int OpenY48GPRelay(int cardNumber, int relay);
        [DllImport(Dll, EntryPoint = "CloseY48ExtGPRelay")]
        public static extern int CloseY48ExtGPRelay(int cardNumber, int relay);
        [DllImport(Dll, EntryPoint = "OpenY48ExtGPRelay")]
        public static extern int OpenY48ExtGPRelay(int cardNumber, int relay);
        [DllImport(Dll, EntryPoint = "BeginY48SignalMonitoring")]
        public static extern int BeginY48SignalMonitoring(int cardNumber, string port, double intervalSeconds, SignalCallback callback);
        [DllImport(Dll, EntryPoint = "EndY48SignalMonitoring")]
        public static extern int EndY48SignalMonitoring(int cardNumber);
        [DllImport(Dll, EntryPoint = "GetY48SignalMonitoringData")]
        public static extern int GetY48SignalMonitoringData(int cardNumber, string port, out int value);
    }

    /// <summary>What programs call: the declarations of this process's DLL, and helpers.</summary>
    public static class Native
    {
        public const int Ok = 0;
        public const int MessageMax = 52; // a message and its terminator
        public const int ReplyMax = 256;  // SelfTestHalvex and QueryHalvexID replies

        // 32 or 64 once chosen: which declarations this process uses.
        static int bits;

        static bool Wide
        {
            get
            {
                if (bits == 0)
                    bits = Choose();
                return bits == 64;
            }
        }

        // On Windows the process's own architecture (PROCESSOR_ARCHITECTURE as the process sees
        // it: x86 in a 32-bit process, also under WOW64 or emulation on ARM64; AMD64 in an x64 one).
        static int Choose()
        {
            if (Environment.OSVersion.Platform != PlatformID.Win32NT)
                return Environment.GetEnvironmentVariable("HALVEX_DOTNET_NAMES") == "32" ? 32 : 64;
            string machine = Environment.GetEnvironmentVariable("PROCESSOR_ARCHITECTURE") ?? "";
            if (IntPtr.Size == 4 && string.Equals(machine, "x86", StringComparison.OrdinalIgnoreCase))
                return 32;
            if (IntPtr.Size == 8 && string.Equals(machine, "AMD64", StringComparison.OrdinalIgnoreCase))
                return 64;
            throw new PlatformNotSupportedException("Halvex: a " + (machine.Length > 0 ? machine : IntPtr.Size * 8 + "-bit")
                + " process can load neither Halvex32.dll (x86 processes) nor Halvex64.dll (x64 processes):"
                + " build with Platform target x86 or x64");
        }

        /// <summary>The DLL this process uses: Halvex32.dll, Halvex32D.dll or Halvex64.dll.</summary>
        public static string Dll { get { return Wide ? Native64.Dll : Native32.Dll; } }

        public static int OpenHalvex(string portName)
        {
            return Wide ? Native64.OpenHalvex(portName) : Native32.OpenHalvex(portName);
        }

        public static int CloseHalvex()
        {
            return Wide ? Native64.CloseHalvex() : Native32.CloseHalvex();
        }

        public static int GetHalvexSeries(out IntPtr records, out int count)
        {
            return Wide ? Native64.GetHalvexSeries(out records, out count) : Native32.GetHalvexSeries(out records, out count);
        }

        public static int GetHalvexErrorInfo(int code, byte[] buffer, int bufferSize)
        {
            return Wide ? Native64.GetHalvexErrorInfo(code, buffer, bufferSize) : Native32.GetHalvexErrorInfo(code, buffer, bufferSize);
        }

        public static int SelfTestHalvex(int cardNumber, byte[] reply, out int replyLength)
        {
            return Wide ? Native64.SelfTestHalvex(cardNumber, reply, out replyLength) : Native32.SelfTestHalvex(cardNumber, reply, out replyLength);
        }

        public static int QueryHalvexID(int cardNumber, byte[] reply, out int replyLength)
        {
            return Wide ? Native64.QueryHalvexID(cardNumber, reply, out replyLength) : Native32.QueryHalvexID(cardNumber, reply, out replyLength);
        }

        public static int ResetHalvex(int cardNumber)
        {
            return Wide ? Native64.ResetHalvex(cardNumber) : Native32.ResetHalvex(cardNumber);
        }

        public static int CloseX16RelayMatrix(int cardNumber, int row, int column)
        {
            return Wide ? Native64.CloseX16RelayMatrix(cardNumber, row, column) : Native32.CloseX16RelayMatrix(cardNumber, row, column);
        }

        public static int OpenX16RelayMatrix(int cardNumber, int row, int column)
        {
            return Wide ? Native64.OpenX16RelayMatrix(cardNumber, row, column) : Native32.OpenX16RelayMatrix(cardNumber, row, column);
        }

        public static int CloseX16RowHiLoMatrix(int cardNumber, int row, int lo)
        {
            return Wide ? Native64.CloseX16RowHiLoMatrix(cardNumber, row, lo) : Native32.CloseX16RowHiLoMatrix(cardNumber, row, lo);
        }

        public static int OpenX16RowHiLoMatrix(int cardNumber, int row, int lo)
        {
            return Wide ? Native64.OpenX16RowHiLoMatrix(cardNumber, row, lo) : Native32.OpenX16RowHiLoMatrix(cardNumber, row, lo);
        }

        public static int CloseX16GPRelay(int cardNumber, int relay)
        {
            return Wide ? Native64.CloseX16GPRelay(cardNumber, relay) : Native32.CloseX16GPRelay(cardNumber, relay);
        }

        public static int OpenX16GPRelay(int cardNumber, int relay)
        {
            return Wide ? Native64.OpenX16GPRelay(cardNumber, relay) : Native32.OpenX16GPRelay(cardNumber, relay);
        }

        public static int CloseX16ExtGPRelay(int cardNumber, int relay)
        {
            return Wide ? Native64.CloseX16ExtGPRelay(cardNumber, relay) : Native32.CloseX16ExtGPRelay(cardNumber, relay);
        }

        public static int OpenX16ExtGPRelay(int cardNumber, int relay)
        {
            return Wide ? Native64.OpenX16ExtGPRelay(cardNumber, relay) : Native32.OpenX16ExtGPRelay(cardNumber, relay);
        }

        public static int CloseX16PsRelay(int cardNumber, int relay)
        {
            return Wide ? Native64.CloseX16PsRelay(cardNumber, relay) : Native32.CloseX16PsRelay(cardNumber, relay);
        }

        public static int OpenX16PsRelay(int cardNumber, int relay)
        {
            return Wide ? Native64.OpenX16PsRelay(cardNumber, relay) : Native32.OpenX16PsRelay(cardNumber, relay);
        }

        public static int CloseX16DischargeRelay(int cardNumber, int relay)
        {
            return Wide ? Native64.CloseX16DischargeRelay(cardNumber, relay) : Native32.CloseX16DischargeRelay(cardNumber, relay);
        }

        public static int OpenX16DischargeRelay(int cardNumber, int relay)
        {
            return Wide ? Native64.OpenX16DischargeRelay(cardNumber, relay) : Native32.OpenX16DischargeRelay(cardNumber, relay);
        }

        public static int CloseX16PullUpRelay(int cardNumber)
        {
            return Wide ? Native64.CloseX16PullUpRelay(cardNumber) : Native32.CloseX16PullUpRelay(cardNumber);
        }

        public static int OpenX16PullUpRelay(int cardNumber)
        {
            return Wide ? Native64.OpenX16PullUpRelay(cardNumber) : Native32.OpenX16PullUpRelay(cardNumber);
        }

        public static int CloseX16PullDownRelay(int cardNumber)
        {
            return Wide ? Native64.CloseX16PullDownRelay(cardNumber) : Native32.CloseX16PullDownRelay(cardNumber);
        }

        public static int OpenX16PullDownRelay(int cardNumber)
        {
            return Wide ? Native64.OpenX16PullDownRelay(cardNumber) : Native32.OpenX16PullDownRelay(cardNumber);
        }

        public static int CloseX16TestProbeRelay(int cardNumber)
        {
            return Wide ? Native64.CloseX16TestProbeRelay(cardNumber) : Native32.CloseX16TestProbeRelay(cardNumber);
        }

        public static int OpenX16TestProbeRelay(int cardNumber)
        {
            return Wide ? Native64.OpenX16TestProbeRelay(cardNumber) : Native32.OpenX16TestProbeRelay(cardNumber);
        }

        public static int CloseX16GndRelay(int cardNumber)
        {
            return Wide ? Native64.CloseX16GndRelay(cardNumber) : Native32.CloseX16GndRelay(cardNumber);
        }

        public static int OpenX16GndRelay(int cardNumber)
        {
            return Wide ? Native64.OpenX16GndRelay(cardNumber) : Native32.OpenX16GndRelay(cardNumber);
        }

        public static int BeginX16SignalMonitoring(int cardNumber, string port, double intervalSeconds, SignalCallback callback)
        {
            return Wide ? Native64.BeginX16SignalMonitoring(cardNumber, port, intervalSeconds, callback) : Native32.BeginX16SignalMonitoring(cardNumber, port, intervalSeconds, callback);
        }

        public static int EndX16SignalMonitoring(int cardNumber)
        {
            return Wide ? Native64.EndX16SignalMonitoring(cardNumber) : Native32.EndX16SignalMonitoring(cardNumber);
        }

        public static int GetX16SignalMonitoringData(int cardNumber, string port, out int value)
        {
            return Wide ? Native64.GetX16SignalMonitoringData(cardNumber, port, out value) : Native32.GetX16SignalMonitoringData(cardNumber, port, out value);
        }

        public static int CloseX48RelayMatrix(int cardNumber, int row, int column)
        {
            return Wide ? Native64.CloseX48RelayMatrix(cardNumber, row, column) : Native32.CloseX48RelayMatrix(cardNumber, row, column);
        }

        public static int OpenX48RelayMatrix(int cardNumber, int row, int column)
        {
            return Wide ? Native64.OpenX48RelayMatrix(cardNumber, row, column) : Native32.OpenX48RelayMatrix(cardNumber, row, column);
        }

        public static int CloseX48RowHiLoMatrix(int cardNumber, int row, int lo)
        {
            return Wide ? Native64.CloseX48RowHiLoMatrix(cardNumber, row, lo) : Native32.CloseX48RowHiLoMatrix(cardNumber, row, lo);
        }

        public static int OpenX48RowHiLoMatrix(int cardNumber, int row, int lo)
        {
            return Wide ? Native64.OpenX48RowHiLoMatrix(cardNumber, row, lo) : Native32.OpenX48RowHiLoMatrix(cardNumber, row, lo);
        }

        public static int CloseX48PullUpRelay(int cardNumber)
        {
            return Wide ? Native64.CloseX48PullUpRelay(cardNumber) : Native32.CloseX48PullUpRelay(cardNumber);
        }

        public static int OpenX48PullUpRelay(int cardNumber)
        {
            return Wide ? Native64.OpenX48PullUpRelay(cardNumber) : Native32.OpenX48PullUpRelay(cardNumber);
        }

        public static int CloseX48PullDownRelay(int cardNumber)
        {
            return Wide ? Native64.CloseX48PullDownRelay(cardNumber) : Native32.CloseX48PullDownRelay(cardNumber);
        }

        public static int OpenX48PullDownRelay(int cardNumber)
        {
            return Wide ? Native64.OpenX48PullDownRelay(cardNumber) : Native32.OpenX48PullDownRelay(cardNumber);
        }

        public static int CloseX48TestProbeRelay(int cardNumber)
        {
            return Wide ? Native64.CloseX48TestProbeRelay(cardNumber) : Native32.CloseX48TestProbeRelay(cardNumber);
        }

        public static int OpenX48TestProbeRelay(int cardNumber)
        {
            return Wide ? Native64.OpenX48TestProbeRelay(cardNumber) : Native32.OpenX48TestProbeRelay(cardNumber);
        }

        public static int CloseX48GndRelay(int cardNumber)
        {
            return Wide ? Native64.CloseX48GndRelay(cardNumber) : Native32.CloseX48GndRelay(cardNumber);
        }

        public static int OpenX48GndRelay(int cardNumber)
        {
            return Wide ? Native64.OpenX48GndRelay(cardNumber) : Native32.OpenX48GndRelay(cardNumber);
        }

        public static int CloseY48GPRelay(int cardNumber, int relay)
        {
            return Wide ? Native64.CloseY48GPRelay(cardNumber, relay) : Native32.CloseY48GPRelay(cardNumber, relay);
        }

        public static int OpenY48GPRelay(int cardNumber, int relay)
        {
            return Wide ? Native64.OpenY48GPRelay(cardNumber, relay) : Native32.OpenY48GPRelay(cardNumber, relay);
        }

        public static int CloseY48ExtGPRelay(int cardNumber, int relay)
        {
            return Wide ? Native64.CloseY48ExtGPRelay(cardNumber, relay) : Native32.CloseY48ExtGPRelay(cardNumber, relay);
        }

        public static int OpenY48ExtGPRelay(int cardNumber, int relay)
        {
            return Wide ? Native64.OpenY48ExtGPRelay(cardNumber, relay) : Native32.OpenY48ExtGPRelay(cardNumber, relay);
        }

        public static int BeginY48SignalMonitoring(int cardNumber, string port, double intervalSeconds, SignalCallback callback)
        {
            return Wide ? Native64.BeginY48SignalMonitoring(cardNumber, port, intervalSeconds, callback) : Native32.BeginY48SignalMonitoring(cardNumber, port, intervalSeconds, callback);
        }

        public static int EndY48SignalMonitoring(int cardNumber)
        {
            return Wide ? Native64.EndY48SignalMonitoring(cardNumber) : Native32.EndY48SignalMonitoring(cardNumber);
        }

        public static int GetY48SignalMonitoringData(int cardNumber, string port, out int value)
        {
            return Wide ? Native64.GetY48SignalMonitoringData(cardNumber, port, out value) : Native32.GetY48SignalMonitoringData(cardNumber, port, out value);
        }

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

        /// <summary>Stops a process that neither DLL fits (ARM64) before a call fails to load one;
        /// gives the DLL this process uses.</summary>
        public static string CheckProcess()
        {
            return Dll;
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
