' Halvex.vb - the Halvex relay card driver for VB.NET: the 32-bit declarations of Halvex.cs.
' Not compiled on the project's machines (Debian has no VB.NET compiler); its names are checked
' against the export table. Platform target x86: these are Halvex32.dll's declarations. Define
' HALVEX32D (Project > Compile > Advanced > Custom constants: HALVEX32D=True) for Halvex32D.dll.
' For a program that may also run as 64-bit (Halvex64.dll), build Halvex.cs into an "Any CPU"
' class library and reference it: its Native picks the DLL of the process's bitness.
Imports System
Imports System.Runtime.InteropServices
Imports System.Text

Namespace Halvex

<StructLayout(LayoutKind.Sequential, Pack:=4)>
Public Structure CardInfo
    Public CardNumber As Integer
    <MarshalAs(UnmanagedType.ByValArray, SizeConst:=128)>
    Public IdText As Byte() ' code page 949, zero-terminated
End Structure

<StructLayout(LayoutKind.Sequential, Pack:=4)>
Public Structure SignalStatus
    Public Channel As Integer
    Public State As Integer ' 1 = active
End Structure

' Cdecl, unlike the functions; keep the delegate in a field until End returns.
<UnmanagedFunctionPointer(CallingConvention.Cdecl)>
Public Delegate Sub SignalCallback(ByVal status As IntPtr, ByVal count As Integer)

Public Module Native
#If HALVEX32D Then
    Public Const Dll As String = "Halvex32D.dll"
    Const EOpenHalvex As String = "OpenHalvex"
    Const ECloseHalvex As String = "CloseHalvex"
    Const EGetHalvexSeries As String = "GetHalvexSeries"
    Const EGetHalvexErrorInfo As String = "GetHalvexErrorInfo"
    Const ESelfTestHalvex As String = "SelfTestHalvex"
    Const EQueryHalvexID As String = "QueryHalvexID"
    Const EResetHalvex As String = "ResetHalvex"
    Const ECloseX16RelayMatrix As String = "CloseX16RelayMatrix"
    Const EOpenX16RelayMatrix As String = "OpenX16RelayMatrix"
    Const ECloseX16RowHiLoMatrix As String = "CloseX16RowHiLoMatrix"
    Const EOpenX16RowHiLoMatrix As String = "OpenX16RowHiLoMatrix"
    Const ECloseX16GPRelay As String = "CloseX16GPRelay"
    Const EOpenX16GPRelay As String = "OpenX16GPRelay"
    Const ECloseX16ExtGPRelay As String = "CloseX16ExtGPRelay"
    Const EOpenX16ExtGPRelay As String = "OpenX16ExtGPRelay"
    Const ECloseX16PsRelay As String = "CloseX16PsRelay"
    Const EOpenX16PsRelay As String = "OpenX16PsRelay"
    Const ECloseX16DischargeRelay As String = "CloseX16DischargeRelay"
    Const EOpenX16DischargeRelay As String = "OpenX16DischargeRelay"
    Const ECloseX16PullUpRelay As String = "CloseX16PullUpRelay"
    Const EOpenX16PullUpRelay As String = "OpenX16PullUpRelay"
    Const ECloseX16PullDownRelay As String = "CloseX16PullDownRelay"
    Const EOpenX16PullDownRelay As String = "OpenX16PullDownRelay"
    Const ECloseX16TestProbeRelay As String = "CloseX16TestProbeRelay"
    Const EOpenX16TestProbeRelay As String = "OpenX16TestProbeRelay"
    Const ECloseX16GndRelay As String = "CloseX16GndRelay"
    Const EOpenX16GndRelay As String = "OpenX16GndRelay"
    Const EBeginX16SignalMonitoring As String = "BeginX16SignalMonitoring"
    Const EEndX16SignalMonitoring As String = "EndX16SignalMonitoring"
    Const EGetX16SignalMonitoringData As String = "GetX16SignalMonitoringData"
    Const ECloseX48RelayMatrix As String = "CloseX48RelayMatrix"
    Const EOpenX48RelayMatrix As String = "OpenX48RelayMatrix"
    Const ECloseX48RowHiLoMatrix As String = "CloseX48RowHiLoMatrix"
    Const EOpenX48RowHiLoMatrix As String = "OpenX48RowHiLoMatrix"
    Const ECloseX48PullUpRelay As String = "_CloseX48PullUpRelay@4"
    Const EOpenX48PullUpRelay As String = "_OpenX48PullUpRelay@4"
    Const ECloseX48PullDownRelay As String = "_CloseX48PullDownRelay@4"
    Const EOpenX48PullDownRelay As String = "_OpenX48PullDownRelay@4"
    Const ECloseX48TestProbeRelay As String = "_CloseX48TestProbeRelay@4"
    Const EOpenX48TestProbeRelay As String = "_OpenX48TestProbeRelay@4"
    Const ECloseX48GndRelay As String = "_CloseX48GndRelay@4"
    Const EOpenX48GndRelay As String = "_OpenX48GndRelay@4"
    Const ECloseY48GPRelay As String = "CloseY48GPRelay"
    Const EOpenY48GPRelay As String = "OpenY48GPRelay"
    Const ECloseY48ExtGPRelay As String = "CloseY48ExtGPRelay"
    Const EOpenY48ExtGPRelay As String = "OpenY48ExtGPRelay"
    Const EBeginY48SignalMonitoring As String = "BeginY48SignalMonitoring"
    Const EEndY48SignalMonitoring As String = "EndY48SignalMonitoring"
    Const EGetY48SignalMonitoringData As String = "GetY48SignalMonitoringData"
#Else
    Public Const Dll As String = "Halvex32.dll"
    Const EOpenHalvex As String = "_OpenHalvex@4"
    Const ECloseHalvex As String = "_CloseHalvex@0"
    Const EGetHalvexSeries As String = "_GetHalvexSeries@8"
    Const EGetHalvexErrorInfo As String = "_GetHalvexErrorInfo@12"
    Const ESelfTestHalvex As String = "_SelfTestHalvex@12"
    Const EQueryHalvexID As String = "_QueryHalvexID@12"
    Const EResetHalvex As String = "_ResetHalvex@4"
    Const ECloseX16RelayMatrix As String = "_CloseX16RelayMatrix@12"
    Const EOpenX16RelayMatrix As String = "_OpenX16RelayMatrix@12"
    Const ECloseX16RowHiLoMatrix As String = "_CloseX16RowHiLoMatrix@12"
    Const EOpenX16RowHiLoMatrix As String = "_OpenX16RowHiLoMatrix@12"
    Const ECloseX16GPRelay As String = "_CloseX16GPRelay@8"
    Const EOpenX16GPRelay As String = "_OpenX16GPRelay@8"
    Const ECloseX16ExtGPRelay As String = "_CloseX16ExtGPRelay@8"
    Const EOpenX16ExtGPRelay As String = "_OpenX16ExtGPRelay@8"
    Const ECloseX16PsRelay As String = "_CloseX16PsRelay@8"
    Const EOpenX16PsRelay As String = "_OpenX16PsRelay@8"
    Const ECloseX16DischargeRelay As String = "_CloseX16DischargeRelay@8"
    Const EOpenX16DischargeRelay As String = "_OpenX16DischargeRelay@8"
    Const ECloseX16PullUpRelay As String = "_CloseX16PullUpRelay@4"
    Const EOpenX16PullUpRelay As String = "_OpenX16PullUpRelay@4"
    Const ECloseX16PullDownRelay As String = "_CloseX16PullDownRelay@4"
    Const EOpenX16PullDownRelay As String = "_OpenX16PullDownRelay@4"
    Const ECloseX16TestProbeRelay As String = "_CloseX16TestProbeRelay@4"
    Const EOpenX16TestProbeRelay As String = "_OpenX16TestProbeRelay@4"
    Const ECloseX16GndRelay As String = "_CloseX16GndRelay@4"
    Const EOpenX16GndRelay As String = "_OpenX16GndRelay@4"
    Const EBeginX16SignalMonitoring As String = "_BeginX16SignalMonitoring@20"
    Const EEndX16SignalMonitoring As String = "_EndX16SignalMonitoring@4"
    Const EGetX16SignalMonitoringData As String = "_GetX16SignalMonitoringData@12"
    Const ECloseX48RelayMatrix As String = "_CloseX48RelayMatrix@12"
    Const EOpenX48RelayMatrix As String = "_OpenX48RelayMatrix@12"
    Const ECloseX48RowHiLoMatrix As String = "_CloseX48RowHiLoMatrix@12"
    Const EOpenX48RowHiLoMatrix As String = "_OpenX48RowHiLoMatrix@12"
    Const ECloseX48PullUpRelay As String = "_CloseX48PullUpRelay@4"
    Const EOpenX48PullUpRelay As String = "_OpenX48PullUpRelay@4"
    Const ECloseX48PullDownRelay As String = "_CloseX48PullDownRelay@4"
    Const EOpenX48PullDownRelay As String = "_OpenX48PullDownRelay@4"
    Const ECloseX48TestProbeRelay As String = "_CloseX48TestProbeRelay@4"
    Const EOpenX48TestProbeRelay As String = "_OpenX48TestProbeRelay@4"
    Const ECloseX48GndRelay As String = "_CloseX48GndRelay@4"
    Const EOpenX48GndRelay As String = "_OpenX48GndRelay@4"
    Const ECloseY48GPRelay As String = "_CloseY48GPRelay@8"
    Const EOpenY48GPRelay As String = "_OpenY48GPRelay@8"
    Const ECloseY48ExtGPRelay As String = "_CloseY48ExtGPRelay@8"
    Const EOpenY48ExtGPRelay As String = "_OpenY48ExtGPRelay@8"
    Const EBeginY48SignalMonitoring As String = "_BeginY48SignalMonitoring@20"
    Const EEndY48SignalMonitoring As String = "_EndY48SignalMonitoring@4"
    Const EGetY48SignalMonitoringData As String = "_GetY48SignalMonitoringData@12"
#End If

    <DllImport(Dll, EntryPoint:=EOpenHalvex, CallingConvention:=CallingConvention.StdCall)>
    Public Function OpenHalvex(ByVal portName As String) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=ECloseHalvex, CallingConvention:=CallingConvention.StdCall)>
    Public Function CloseHalvex() As Integer
    End Function
    <DllImport(Dll, EntryPoint:=EGetHalvexSeries, CallingConvention:=CallingConvention.StdCall)>
    Public Function GetHalvexSeries(ByRef records As IntPtr, ByRef count As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=EGetHalvexErrorInfo, CallingConvention:=CallingConvention.StdCall)>
    Public Function GetHalvexErrorInfo(ByVal code As Integer, ByVal buffer As Byte(), ByVal bufferSize As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=ESelfTestHalvex, CallingConvention:=CallingConvention.StdCall)>
    Public Function SelfTestHalvex(ByVal cardNumber As Integer, ByVal reply As Byte(), ByRef replyLength As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=EQueryHalvexID, CallingConvention:=CallingConvention.StdCall)>
    Public Function QueryHalvexID(ByVal cardNumber As Integer, ByVal reply As Byte(), ByRef replyLength As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=EResetHalvex, CallingConvention:=CallingConvention.StdCall)>
    Public Function ResetHalvex(ByVal cardNumber As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=ECloseX16RelayMatrix, CallingConvention:=CallingConvention.StdCall)>
    Public Function CloseX16RelayMatrix(ByVal cardNumber As Integer, ByVal row As Integer, ByVal column As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=EOpenX16RelayMatrix, CallingConvention:=CallingConvention.StdCall)>
    Public Function OpenX16RelayMatrix(ByVal cardNumber As Integer, ByVal row As Integer, ByVal column As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=ECloseX16RowHiLoMatrix, CallingConvention:=CallingConvention.StdCall)>
    Public Function CloseX16RowHiLoMatrix(ByVal cardNumber As Integer, ByVal row As Integer, ByVal lo As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=EOpenX16RowHiLoMatrix, CallingConvention:=CallingConvention.StdCall)>
    Public Function OpenX16RowHiLoMatrix(ByVal cardNumber As Integer, ByVal row As Integer, ByVal lo As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=ECloseX16GPRelay, CallingConvention:=CallingConvention.StdCall)>
    Public Function CloseX16GPRelay(ByVal cardNumber As Integer, ByVal relay As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=EOpenX16GPRelay, CallingConvention:=CallingConvention.StdCall)>
    Public Function OpenX16GPRelay(ByVal cardNumber As Integer, ByVal relay As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=ECloseX16ExtGPRelay, CallingConvention:=CallingConvention.StdCall)>
    Public Function CloseX16ExtGPRelay(ByVal cardNumber As Integer, ByVal relay As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=EOpenX16ExtGPRelay, CallingConvention:=CallingConvention.StdCall)>
    Public Function OpenX16ExtGPRelay(ByVal cardNumber As Integer, ByVal relay As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=ECloseX16PsRelay, CallingConvention:=CallingConvention.StdCall)>
    Public Function CloseX16PsRelay(ByVal cardNumber As Integer, ByVal relay As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=EOpenX16PsRelay, CallingConvention:=CallingConvention.StdCall)>
    Public Function OpenX16PsRelay(ByVal cardNumber As Integer, ByVal relay As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=ECloseX16DischargeRelay, CallingConvention:=CallingConvention.StdCall)>
    Public Function CloseX16DischargeRelay(ByVal cardNumber As Integer, ByVal relay As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=EOpenX16DischargeRelay, CallingConvention:=CallingConvention.StdCall)>
    Public Function OpenX16DischargeRelay(ByVal cardNumber As Integer, ByVal relay As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=ECloseX16PullUpRelay, CallingConvention:=CallingConvention.StdCall)>
    Public Function CloseX16PullUpRelay(ByVal cardNumber As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=EOpenX16PullUpRelay, CallingConvention:=CallingConvention.StdCall)>
    Public Function OpenX16PullUpRelay(ByVal cardNumber As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=ECloseX16PullDownRelay, CallingConvention:=CallingConvention.StdCall)>
    Public Function CloseX16PullDownRelay(ByVal cardNumber As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=EOpenX16PullDownRelay, CallingConvention:=CallingConvention.StdCall)>
    Public Function OpenX16PullDownRelay(ByVal cardNumber As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=ECloseX16TestProbeRelay, CallingConvention:=CallingConvention.StdCall)>
    Public Function CloseX16TestProbeRelay(ByVal cardNumber As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=EOpenX16TestProbeRelay, CallingConvention:=CallingConvention.StdCall)>
    Public Function OpenX16TestProbeRelay(ByVal cardNumber As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=ECloseX16GndRelay, CallingConvention:=CallingConvention.StdCall)>
    Public Function CloseX16GndRelay(ByVal cardNumber As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=EOpenX16GndRelay, CallingConvention:=CallingConvention.StdCall)>
    Public Function OpenX16GndRelay(ByVal cardNumber As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=EBeginX16SignalMonitoring, CallingConvention:=CallingConvention.StdCall)>
    Public Function BeginX16SignalMonitoring(ByVal cardNumber As Integer, ByVal port As String, ByVal intervalSeconds As Double, ByVal callback As SignalCallback) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=EEndX16SignalMonitoring, CallingConvention:=CallingConvention.StdCall)>
    Public Function EndX16SignalMonitoring(ByVal cardNumber As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=EGetX16SignalMonitoringData, CallingConvention:=CallingConvention.StdCall)>
    Public Function GetX16SignalMonitoringData(ByVal cardNumber As Integer, ByVal port As String, ByRef value As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=ECloseX48RelayMatrix, CallingConvention:=CallingConvention.StdCall)>
    Public Function CloseX48RelayMatrix(ByVal cardNumber As Integer, ByVal row As Integer, ByVal column As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=EOpenX48RelayMatrix, CallingConvention:=CallingConvention.StdCall)>
    Public Function OpenX48RelayMatrix(ByVal cardNumber As Integer, ByVal row As Integer, ByVal column As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=ECloseX48RowHiLoMatrix, CallingConvention:=CallingConvention.StdCall)>
    Public Function CloseX48RowHiLoMatrix(ByVal cardNumber As Integer, ByVal row As Integer, ByVal lo As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=EOpenX48RowHiLoMatrix, CallingConvention:=CallingConvention.StdCall)>
    Public Function OpenX48RowHiLoMatrix(ByVal cardNumber As Integer, ByVal row As Integer, ByVal lo As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=ECloseX48PullUpRelay, CallingConvention:=CallingConvention.StdCall)>
    Public Function CloseX48PullUpRelay(ByVal cardNumber As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=EOpenX48PullUpRelay, CallingConvention:=CallingConvention.StdCall)>
    Public Function OpenX48PullUpRelay(ByVal cardNumber As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=ECloseX48PullDownRelay, CallingConvention:=CallingConvention.StdCall)>
    Public Function CloseX48PullDownRelay(ByVal cardNumber As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=EOpenX48PullDownRelay, CallingConvention:=CallingConvention.StdCall)>
    Public Function OpenX48PullDownRelay(ByVal cardNumber As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=ECloseX48TestProbeRelay, CallingConvention:=CallingConvention.StdCall)>
    Public Function CloseX48TestProbeRelay(ByVal cardNumber As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=EOpenX48TestProbeRelay, CallingConvention:=CallingConvention.StdCall)>
    Public Function OpenX48TestProbeRelay(ByVal cardNumber As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=ECloseX48GndRelay, CallingConvention:=CallingConvention.StdCall)>
    Public Function CloseX48GndRelay(ByVal cardNumber As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=EOpenX48GndRelay, CallingConvention:=CallingConvention.StdCall)>
    Public Function OpenX48GndRelay(ByVal cardNumber As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=ECloseY48GPRelay, CallingConvention:=CallingConvention.StdCall)>
    Public Function CloseY48GPRelay(ByVal cardNumber As Integer, ByVal relay As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=EOpenY48GPRelay, CallingConvention:=CallingConvention.StdCall)>
    Public Function OpenY48GPRelay(ByVal cardNumber As Integer, ByVal relay As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=ECloseY48ExtGPRelay, CallingConvention:=CallingConvention.StdCall)>
    Public Function CloseY48ExtGPRelay(ByVal cardNumber As Integer, ByVal relay As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=EOpenY48ExtGPRelay, CallingConvention:=CallingConvention.StdCall)>
    Public Function OpenY48ExtGPRelay(ByVal cardNumber As Integer, ByVal relay As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=EBeginY48SignalMonitoring, CallingConvention:=CallingConvention.StdCall)>
    Public Function BeginY48SignalMonitoring(ByVal cardNumber As Integer, ByVal port As String, ByVal intervalSeconds As Double, ByVal callback As SignalCallback) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=EEndY48SignalMonitoring, CallingConvention:=CallingConvention.StdCall)>
    Public Function EndY48SignalMonitoring(ByVal cardNumber As Integer) As Integer
    End Function
    <DllImport(Dll, EntryPoint:=EGetY48SignalMonitoringData, CallingConvention:=CallingConvention.StdCall)>
    Public Function GetY48SignalMonitoringData(ByVal cardNumber As Integer, ByVal port As String, ByRef value As Integer) As Integer
    End Function

    ' Messages and identification texts are code page 949.
    Public Function Decode(ByVal text As Byte()) As String
        Dim length As Integer = Array.IndexOf(text, CByte(0))
        If length < 0 Then length = text.Length
        Return Encoding.GetEncoding(949).GetString(text, 0, length)
    End Function

    ' GetHalvexSeries' array comes from the process heap.
    <DllImport("kernel32.dll")>
    Public Function GetProcessHeap() As IntPtr
    End Function
    <DllImport("kernel32.dll")>
    Public Function HeapFree(ByVal heap As IntPtr, ByVal flags As UInteger, ByVal block As IntPtr) As Boolean
    End Function
End Module

End Namespace
