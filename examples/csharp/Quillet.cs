// quillet for C#: the library's twenty-five functions, and a thin safe layer
// over them. Drop this file into a project and put quillet.dll (Windows, x86
// or x64) or libquillet.so (Linux, with Mono) where the program finds it,
// for example beside the program, with this in the .csproj:
//
//   <None Include="quillet.dll" CopyToOutputDirectory="PreserveNewest" />
//
// How the C interface is marshalled, once for every function:
// - The calling convention is StdCall: the 32-bit DLL's functions are
//   __stdcall, and on x64 and Linux there is only one convention, which
//   StdCall then names.
// - Narrow strings (URLs, bodies, JSON text, member names) go in as UTF-8
//   (LPUTF8Str, which needs .NET Framework 4.7, any .NET Core or .NET, or
//   Mono 5), the bytes the library hands to libcurl and jansson. File paths
//   go in as UTF-16 (LPWStr), as the library reads them everywhere.
// - Text comes back in buffers of 16-bit units, declared ushort[] so that no
//   character set can convert them: a char[] under the default CharSet would
//   be marshalled as single bytes. Log records and failure words are UTF-16;
//   bodies and JSON values are "byte-widened", one unit per byte, and are
//   read back as the UTF-8 bytes they are.
// - Ids are unsigned and run past 0x7FFFFFFF, QL_ParseJSON's included.
// - The structs hold only numbers and pointers, so their layout is the C one
//   on every platform: QL_REQUEST_INFO is 20 bytes, QL_DOWNLOAD_OPTIONS 40 on
//   x86 and 48 on x64 (every 64-bit field on an 8-byte offset in both),
//   QL_JOB_OPTIONS 24 and QL_JOB_PROGRESS 48 everywhere.
using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;
using System.Text;

namespace Quillet
{
    public enum RequestState
    {
        Unknown = 0,  // QL_STATE_NONE: no such request
        Running = 1,
        Done = 2,
        Failed = 3,
    }

    [Flags]
    public enum DownloadFlags : uint
    {
        None = 0,
        Resume = 0x1,  // keep the bytes already on disk and ask only for the rest
        Atomic = 0x2,  // write "<path>.part", renamed onto path once complete and verified
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct QL_REQUEST_INFO
    {
        public int state;
        public int hasInfo;
        public int curlCode;
        public int responseCode;
        public int contentLength;
    }

    // The pointers are NUL-terminated UTF-8 strings that the caller owns for
    // the duration of the call; Library.DownloadFileEx makes and frees them.
    [StructLayout(LayoutKind.Sequential)]
    public struct QL_DOWNLOAD_OPTIONS
    {
        public uint size;
        public uint flags;
        public long expectedSize; // 0 (a default struct) or -1: unknown
        public IntPtr sha256;
        public IntPtr mirrors;
        public uint retries;
        public uint job; // 0, or a job from QL_CreateJob (1.2.0)
        public long maxBytesPerSecond;
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct QL_JOB_OPTIONS
    {
        public uint size;
        public uint flags; // 1: HTTP/1.1 only
        public uint maxTransfers;
        public uint maxConnectionsPerHost;
        public long maxBytesPerSecond;
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct QL_JOB_PROGRESS
    {
        public uint size;
        public uint files;
        public uint filesDone;
        public uint filesFailed;
        public long bytesTotal;
        public long bytesWritten;
        public long bytesPerSecond;
        public uint paused;
        public uint reserved;
    }

    // The exports exactly as quillet.h declares them.
    public static class Native
    {
        private const string Dll = "quillet";
        private const CallingConvention Call = CallingConvention.StdCall;

        [DllImport(Dll, CallingConvention = Call)]
        public static extern void QL_Initialize();

        [DllImport(Dll, CallingConvention = Call)]
        public static extern void QL_Cleanup();

        [DllImport(Dll, CallingConvention = Call)]
        public static extern uint QL_Request(int post, [MarshalAs(UnmanagedType.LPUTF8Str)] string url,
                                             [MarshalAs(UnmanagedType.LPUTF8Str)] string data);

        [DllImport(Dll, CallingConvention = Call)]
        public static extern uint QL_SendStats([MarshalAs(UnmanagedType.LPUTF8Str)] string url,
                                               [MarshalAs(UnmanagedType.LPUTF8Str)] string data);

        [DllImport(Dll, CallingConvention = Call)]
        public static extern uint QL_DownloadFile([MarshalAs(UnmanagedType.LPUTF8Str)] string url,
                                                  [MarshalAs(UnmanagedType.LPWStr)] string path);

        [DllImport(Dll, CallingConvention = Call)]
        public static extern uint QL_DownloadFileEx([MarshalAs(UnmanagedType.LPUTF8Str)] string url,
                                                    [MarshalAs(UnmanagedType.LPWStr)] string path,
                                                    ref QL_DOWNLOAD_OPTIONS options);

        [DllImport(Dll, CallingConvention = Call)]
        public static extern int QL_CancelRequest(uint id);

        [DllImport(Dll, CallingConvention = Call)]
        public static extern int QL_RemoveRequest(uint id);

        [DllImport(Dll, CallingConvention = Call)]
        public static extern int QL_RequestInfo(uint id, out QL_REQUEST_INFO info);

        [DllImport(Dll, CallingConvention = Call)]
        public static extern int QL_RequestDownloadProgress(uint id, out int total, out int downloaded);

        [DllImport(Dll, CallingConvention = Call)]
        public static extern int QL_RequestDownloadProgress64(uint id, out long total, out long written);

        [DllImport(Dll, CallingConvention = Call)]
        public static extern int QL_RequestError(uint id, [Out] ushort[] buffer, uint capacity, out int length);

        [DllImport(Dll, CallingConvention = Call)]
        public static extern int QL_RequestData(uint id, [Out] ushort[] buffer, ref int size);

        [DllImport(Dll, CallingConvention = Call)]
        public static extern uint QL_ParseJSON([MarshalAs(UnmanagedType.LPUTF8Str)] string text);

        [DllImport(Dll, CallingConvention = Call)]
        public static extern int QL_GetStringByPath(uint document, [MarshalAs(UnmanagedType.LPUTF8Str)] string path,
                                                    [Out] ushort[] buffer, ref uint length);

        [DllImport(Dll, CallingConvention = Call)]
        public static extern void QL_GenerateULID([Out] ushort[] buffer);

        [DllImport(Dll, CallingConvention = Call)]
        public static extern int QL_PullLogRecord([Out] ushort[] buffer, uint capacity, out int length);

        [DllImport(Dll, CallingConvention = Call)]
        public static extern uint QL_CreateJob(ref QL_JOB_OPTIONS options);

        // The same export, for IntPtr.Zero: NULL asks for the defaults.
        [DllImport(Dll, CallingConvention = Call)]
        public static extern uint QL_CreateJob(IntPtr options);

        [DllImport(Dll, CallingConvention = Call)]
        public static extern int QL_JobProgress(uint job, ref QL_JOB_PROGRESS progress);

        [DllImport(Dll, CallingConvention = Call)]
        public static extern int QL_PauseJob(uint job, int paused);

        [DllImport(Dll, CallingConvention = Call)]
        public static extern int QL_WaitJob(uint job, uint milliseconds);

        [DllImport(Dll, CallingConvention = Call)]
        public static extern int QL_RemoveJob(uint job);

        [DllImport(Dll, CallingConvention = Call)]
        public static extern int QL_VerifySignature(byte[] data, uint size,
                                                    [MarshalAs(UnmanagedType.LPUTF8Str)] string signature,
                                                    [MarshalAs(UnmanagedType.LPUTF8Str)] string publicKeys);

        [DllImport(Dll, CallingConvention = Call)]
        public static extern int QL_VerifyRequestSignature(uint request,
                                                           [MarshalAs(UnmanagedType.LPUTF8Str)] string signature,
                                                           [MarshalAs(UnmanagedType.LPUTF8Str)] string publicKeys);

        [DllImport(Dll, CallingConvention = Call)]
        public static extern int QL_VerifyFileSignature([MarshalAs(UnmanagedType.LPWStr)] string path,
                                                        [MarshalAs(UnmanagedType.LPUTF8Str)] string signature,
                                                        [MarshalAs(UnmanagedType.LPUTF8Str)] string publicKeys);
    }

    // What a C# program calls: strings and longs in and out, the two-call
    // length protocol inside.
    public static class Library
    {
        public static void Initialize() { Native.QL_Initialize(); }

        public static void Cleanup() { Native.QL_Cleanup(); }

        // An in-memory GET, or a POST of `data`; returns the request id.
        public static uint Request(string url, string data = null, bool post = false)
        {
            return Native.QL_Request(post ? 1 : 0, url, data);
        }

        public static uint DownloadFile(string url, string path) { return Native.QL_DownloadFile(url, path); }

        // QL_DownloadFileEx; `mirrors` are more URLs of the same file, tried in
        // order; `job` is a job's id (DownloadJob.Add passes its own), 0 for none.
        public static uint DownloadFileEx(string url, string path, DownloadFlags flags = DownloadFlags.None,
                                          string sha256 = null, long expectedSize = -1, uint retries = 0,
                                          IEnumerable<string> mirrors = null, long maxBytesPerSecond = 0,
                                          uint job = 0)
        {
            var options = new QL_DOWNLOAD_OPTIONS
            {
                size = (uint)Marshal.SizeOf(typeof(QL_DOWNLOAD_OPTIONS)),
                flags = (uint)flags,
                expectedSize = expectedSize,
                retries = retries,
                job = job,
                maxBytesPerSecond = maxBytesPerSecond,
            };
            try
            {
                options.sha256 = Utf8(sha256);
                options.mirrors = Utf8(mirrors == null ? null : string.Join("\n", mirrors));
                return Native.QL_DownloadFileEx(url, path, ref options);
            }
            finally
            {
                Marshal.FreeHGlobal(options.sha256);
                Marshal.FreeHGlobal(options.mirrors);
            }
        }

        public static bool Cancel(uint id) { return Native.QL_CancelRequest(id) == 1; }

        public static bool Remove(uint id) { return Native.QL_RemoveRequest(id) == 1; }

        public static RequestState State(uint id)
        {
            QL_REQUEST_INFO info;
            Native.QL_RequestInfo(id, out info);
            return (RequestState)info.state;
        }

        public static QL_REQUEST_INFO Info(uint id)
        {
            QL_REQUEST_INFO info;
            Native.QL_RequestInfo(id, out info);
            return info;
        }

        // A download's full size (-1 while unknown) and the bytes in its file;
        // false for an unknown id or an in-memory request.
        public static bool Progress(uint id, out long total, out long written)
        {
            return Native.QL_RequestDownloadProgress64(id, out total, out written) == 1;
        }

        // The words of a failed request, or null.
        public static string Error(uint id)
        {
            int length;
            Native.QL_RequestError(id, null, 0, out length);
            if (length <= 0) return null;
            var units = new ushort[length];
            return Native.QL_RequestError(id, units, (uint)length, out length) == 1 ? Utf16(units, length) : null;
        }

        // The body of a finished in-memory request, or null.
        public static byte[] Data(uint id)
        {
            int size = 0;
            if (Native.QL_RequestData(id, null, ref size) != 1) return null;
            var units = new ushort[size];
            if (size > 0 && Native.QL_RequestData(id, units, ref size) != 1) return null;
            return Unwiden(units, size);
        }

        // The new document's id, 0 when the text is not a JSON object.
        public static uint ParseJson(string text) { return Native.QL_ParseJSON(text); }

        // A string member of a stored document's root object, or null.
        public static string StringByPath(uint document, string name)
        {
            uint length = 0;
            if (Native.QL_GetStringByPath(document, name, null, ref length) != 1) return null;
            var units = new ushort[length];
            if (length > 0 && Native.QL_GetStringByPath(document, name, units, ref length) != 1) return null;
            return Encoding.UTF8.GetString(Unwiden(units, (int)length));
        }

        public static string GenerateUlid()
        {
            var units = new ushort[26];
            Native.QL_GenerateULID(units);
            return Utf16(units, units.Length);
        }

        // True when `signature`, a minisign signature file's text, signs
        // `data` with one of `publicKeys` (minisign public keys, a key a
        // line; "untrusted comment:" lines are skipped). A log record names
        // the key, or says why not.
        public static bool VerifySignature(byte[] data, string signature, string publicKeys)
        {
            data = data ?? new byte[0];
            return Native.QL_VerifySignature(data, (uint)data.Length, signature, publicKeys) == 1;
        }

        // The same over the body of a finished in-memory request, as it arrived.
        public static bool VerifyRequestSignature(uint id, string signature, string publicKeys)
        {
            return Native.QL_VerifyRequestSignature(id, signature, publicKeys) == 1;
        }

        // The same over a file, which the library reads in pieces.
        public static bool VerifyFileSignature(string path, string signature, string publicKeys)
        {
            return Native.QL_VerifyFileSignature(path, signature, publicKeys) == 1;
        }

        // Every queued log record, oldest first.
        public static List<string> PullLogRecords()
        {
            var records = new List<string>();
            var units = new ushort[256];
            for (;;)
            {
                int length;
                if (Native.QL_PullLogRecord(units, (uint)units.Length, out length) == 1)
                {
                    records.Add(Utf16(units, length));
                }
                else if (length > units.Length)
                {
                    units = new ushort[length];  // too long for the buffer: it stays first
                }
                else
                {
                    return records;
                }
            }
        }

        private static IntPtr Utf8(string text)
        {
            if (text == null) return IntPtr.Zero;
            byte[] bytes = Encoding.UTF8.GetBytes(text);
            IntPtr copy = Marshal.AllocHGlobal(bytes.Length + 1);
            Marshal.Copy(bytes, 0, copy, bytes.Length);
            Marshal.WriteByte(copy, bytes.Length, 0);
            return copy;
        }

        private static string Utf16(ushort[] units, int length)
        {
            var text = new StringBuilder(length);
            for (int i = 0; i < length; ++i) text.Append((char)units[i]);
            return text.ToString();
        }

        // One byte per unit: its low 8 bits.
        private static byte[] Unwiden(ushort[] units, int length)
        {
            var bytes = new byte[length];
            for (int i = 0; i < length; ++i) bytes[i] = (byte)units[i];
            return bytes;
        }
    }

    // A job's figures, as QL_JobProgress gives them.
    public struct JobProgress
    {
        public uint Files;        // files added
        public uint FilesDone;    // ended with success
        public uint FilesFailed;  // ended failed or cancelled
        public long BytesTotal;   // the files' full sizes added up; -1 while one is unknown
        public long BytesWritten; // bytes on disk across the files, kept ones included
        public long BytesPerSecond; // receive speed over the last 3 s
        public bool Paused;
    }

    // A download job: the files added run as many at a time as the job
    // allows, over few connections. Each file is a request of its own
    // (Library.State, Library.Error and the rest work on its id) until
    // Dispose, which cancels what still runs and removes the job with its
    // files' requests; QL_Cleanup ends it too.
    public sealed class DownloadJob : IDisposable
    {
        private uint id;

        // 0 for a limit means the library's default; http1 keeps every
        // transfer on HTTP/1.1. Throws when the library makes no job (after
        // QL_Cleanup): a file added with job 0 would quietly run on its own.
        public DownloadJob(uint maxTransfers = 0, uint maxConnectionsPerHost = 0, long maxBytesPerSecond = 0,
                           bool http1 = false)
        {
            var options = new QL_JOB_OPTIONS
            {
                size = (uint)Marshal.SizeOf(typeof(QL_JOB_OPTIONS)),
                flags = http1 ? 1u : 0u,
                maxTransfers = maxTransfers,
                maxConnectionsPerHost = maxConnectionsPerHost,
                maxBytesPerSecond = maxBytesPerSecond,
            };
            // Nothing set: NULL, which asks for the library's defaults.
            bool defaults = !http1 && maxTransfers == 0 && maxConnectionsPerHost == 0 && maxBytesPerSecond == 0;
            id = defaults ? Native.QL_CreateJob(IntPtr.Zero) : Native.QL_CreateJob(ref options);
            if (id == 0) throw new InvalidOperationException("quillet made no job; its log records tell why");
        }

        public uint Id
        {
            get
            {
                if (id == 0) throw new ObjectDisposedException("DownloadJob");
                return id;
            }
        }

        // Adds a file, resumed and atomic unless `flags` says otherwise; the
        // other arguments are Library.DownloadFileEx's. Returns its request id.
        public uint Add(string url, string path, string sha256 = null,
                        DownloadFlags flags = DownloadFlags.Resume | DownloadFlags.Atomic, long expectedSize = -1,
                        uint retries = 0, IEnumerable<string> mirrors = null, long maxBytesPerSecond = 0)
        {
            return Library.DownloadFileEx(url, path, flags, sha256, expectedSize, retries, mirrors,
                                          maxBytesPerSecond, Id);
        }

        // All zero for a job that QL_Cleanup has ended.
        public JobProgress Progress
        {
            get
            {
                var figures = new QL_JOB_PROGRESS { size = (uint)Marshal.SizeOf(typeof(QL_JOB_PROGRESS)) };
                if (Native.QL_JobProgress(Id, ref figures) != 1) return new JobProgress();
                return new JobProgress
                {
                    Files = figures.files,
                    FilesDone = figures.filesDone,
                    FilesFailed = figures.filesFailed,
                    BytesTotal = figures.bytesTotal,
                    BytesWritten = figures.bytesWritten,
                    BytesPerSecond = figures.bytesPerSecond,
                    Paused = figures.paused != 0,
                };
            }
        }

        // No more bytes arrive and no file starts until Resume, which goes on
        // from the bytes on disk.
        public bool Pause() { return Native.QL_PauseJob(Id, 1) == 1; }

        public bool Resume() { return Native.QL_PauseJob(Id, 0) == 1; }

        // True once every file added so far has ended, false when the time
        // passes first. A negative timeout (Timeout.InfiniteTimeSpan) waits
        // as long as the library can, about 49 days.
        public bool Wait(TimeSpan timeout)
        {
            double milliseconds = timeout < TimeSpan.Zero ? uint.MaxValue
                                                          : Math.Min(timeout.TotalMilliseconds, uint.MaxValue);
            return Native.QL_WaitJob(Id, (uint)milliseconds) == 1;
        }

        public void Dispose()
        {
            if (id == 0) return;
            Native.QL_RemoveJob(id);
            id = 0;
        }
    }
}
