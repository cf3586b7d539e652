// Kestrune for .NET: the library's 19 exports and a small wrapper, in one file to add to a
// project. [DllImport("kestrune")] finds Kestrune.dll on Windows and libkestrune.so on Linux;
// both the runtime's and Mono's loaders look beside the program first. Strings are UTF-16 on
// every platform (CharSet.Unicode, Mono's included), as the exports take them.
using System;
using System.Collections.Specialized;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace Kestrune
{
    // The exports as include/kestrune.h declares them. Each one but KSRN_GetLastError sets the
    // calling thread's last error: read it right after the call, on the same thread.
    public static class Native
    {
        const string Library = "kestrune";
        const CharSet Utf16 = CharSet.Unicode;
        const CallingConvention C = CallingConvention.Cdecl;

        [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
        public static extern int KSRN_GetAbiVersion();
        [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
        public static extern int KSRN_Init(int abiVersion);
        [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
        public static extern int KSRN_Shutdown();
        [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
        public static extern uint KSRN_GetLastError();
        [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
        public static extern int KSRN_SetThrottleMs(int throttleMs);
        [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
        public static extern int KSRN_Request(string url, string method, string headers,
                                              byte[] body, int bodyLength, int timeoutMs);
        [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
        public static extern int KSRN_Get(string url, int timeoutMs);
        [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
        public static extern int KSRN_IsReady(int id);
        [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
        public static extern int KSRN_Succeeded(int id);
        [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
        public static extern int KSRN_GetStatusCode(int id);
        [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
        public static extern uint KSRN_GetRequestError(int id);
        [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
        public static extern int KSRN_GetBodySize(int id);
        [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
        public static extern int KSRN_CopyBody(int id, [Out] byte[] buffer, int capacity);
        [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
        public static extern int KSRN_GetHeadersSize(int id);
        [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
        public static extern int KSRN_CopyHeaders(int id, [Out] byte[] buffer, int capacity);
        [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
        public static extern int KSRN_Cancel(int id);
        [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
        public static extern int KSRN_Free(int id);
        [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
        public static extern int KSRN_CancelAll();
        [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
        public static extern int KSRN_GetPendingCount();

        // Raises the last error of the call just made on this thread; passes its result on.
        internal static T Check<T>(T result, string call)
        {
            uint code = KSRN_GetLastError();
            if (code != 0)
                throw new KestruneException(code, call);
            return result;
        }
    }

    // The codes the library reports, named as in Win32 (the header's KSRN_ERROR_ macros).
    public enum KestruneError : uint
    {
        ERROR_SUCCESS = 0,
        ERROR_ACCESS_DENIED = 5,
        ERROR_INVALID_HANDLE = 6,
        ERROR_NOT_ENOUGH_MEMORY = 8,
        ERROR_INVALID_DATA = 13,
        ERROR_READ_FAULT = 30,
        ERROR_GEN_FAILURE = 31,
        ERROR_INVALID_PARAMETER = 87,
        ERROR_BUFFER_OVERFLOW = 111,
        ERROR_INSUFFICIENT_BUFFER = 122,
        ERROR_INVALID_NAME = 123,
        ERROR_FILE_TOO_LARGE = 223,
        ERROR_NO_MORE_ITEMS = 259,
        ERROR_OPERATION_ABORTED = 995,
        ERROR_IO_INCOMPLETE = 996,
        ERROR_NO_UNICODE_TRANSLATION = 1113,
        ERROR_NOT_FOUND = 1168,
        ERROR_REVISION_MISMATCH = 1306,
        ERROR_NOT_ENOUGH_QUOTA = 1816,
        ERROR_WINHTTP_TIMEOUT = 12002,
        ERROR_WINHTTP_INTERNAL_ERROR = 12004,
        ERROR_WINHTTP_INVALID_URL = 12005,
        ERROR_WINHTTP_UNRECOGNIZED_SCHEME = 12006,
        ERROR_WINHTTP_NAME_NOT_RESOLVED = 12007,
        ERROR_WINHTTP_OPERATION_CANCELLED = 12017,
        ERROR_WINHTTP_CANNOT_CONNECT = 12029,
        ERROR_WINHTTP_CONNECTION_ERROR = 12030,
        ERROR_WINHTTP_INVALID_SERVER_RESPONSE = 12152,
        ERROR_WINHTTP_SECURE_CHANNEL_ERROR = 12157,
        ERROR_WINHTTP_SECURE_FAILURE = 12175,
        ERROR_WINHTTP_HEADER_SIZE_OVERFLOW = 12182,
    }

    // A code the library reported, its Win32 name (null for a code the header does not list,
    // such as another WinHTTP code on Windows) and the export that reported it.
    public class KestruneException : Exception
    {
        public uint Code { get; }
        public string Name { get; }
        public string Call { get; }

        public KestruneException(uint code, string call)
            : base(call + ": " + code + " " + NameOf(code))
        {
            Code = code;
            Name = Enum.IsDefined(typeof(KestruneError), code) ? NameOf(code) : null;
            Call = call;
        }

        static string NameOf(uint code)
        {
            return Enum.IsDefined(typeof(KestruneError), code) ? ((KestruneError)code).ToString()
                                                               : "(not in the header)";
        }
    }

    // The library initialised for the client's lifetime: KSRN_Init when made, KSRN_Shutdown on
    // Dispose, which cancels and drops every request still held. A process has one engine, so
    // clients share it and the first one disposed stops it.
    public sealed class KestruneClient : IDisposable
    {
        public const int AbiVersion = 1;

        public KestruneClient()
        {
            Native.Check(Native.KSRN_Init(AbiVersion), nameof(Native.KSRN_Init));
        }

        public void Dispose()
        {
            Native.Check(Native.KSRN_Shutdown(), nameof(Native.KSRN_Shutdown));
        }

        // Submits a request and returns it at once. headers: "Name: value" lines joined by CR LF;
        // body: POST only; timeoutMs: the whole request's budget, 0 for the library's 10 s.
        public KestruneRequest Request(string url, string method = "GET", string headers = null,
                                       byte[] body = null, int timeoutMs = 0)
        {
            int id = Native.KSRN_Request(url, method, headers, body, body == null ? 0 : body.Length,
                                         timeoutMs);
            return new KestruneRequest(Native.Check(id, nameof(Native.KSRN_Request)));
        }

        // At least throttleMs (0 to 60000) between the starts of any two transfers.
        public void SetThrottleMs(int throttleMs)
        {
            Native.Check(Native.KSRN_SetThrottleMs(throttleMs), nameof(Native.KSRN_SetThrottleMs));
        }

        public int PendingCount
        {
            get
            {
                return Native.Check(Native.KSRN_GetPendingCount(),
                                    nameof(Native.KSRN_GetPendingCount));
            }
        }

        public int CancelAll()
        {
            return Native.Check(Native.KSRN_CancelAll(), nameof(Native.KSRN_CancelAll));
        }
    }

    // One submitted request, freed (KSRN_Free) on Dispose. Its results throw KestruneException
    // 996 before it is ready and 1168 once it is freed.
    public sealed class KestruneRequest : IDisposable
    {
        const int FirstPollMs = 1;
        const int LastPollMs = 50;
        bool held = true;

        public int Id { get; }

        internal KestruneRequest(int id)
        {
            Id = id;
        }

        public void Dispose()
        {
            if (held)
            {
                held = false;
                Native.Check(Native.KSRN_Free(Id), nameof(Native.KSRN_Free));
            }
        }

        public bool IsReady
        {
            get { return Native.Check(Native.KSRN_IsReady(Id), nameof(Native.KSRN_IsReady)) != 0; }
        }

        // A status 200 to 299 whose whole body arrived.
        public bool Succeeded
        {
            get
            {
                return Native.Check(Native.KSRN_Succeeded(Id), nameof(Native.KSRN_Succeeded)) != 0;
            }
        }

        // The HTTP status, 0 when none arrived.
        public int Status
        {
            get
            {
                return Native.Check(Native.KSRN_GetStatusCode(Id),
                                    nameof(Native.KSRN_GetStatusCode));
            }
        }

        // The outcome (12002 out of time, 995 cancelled, ...), or null when the response was read
        // to its end, whatever its status.
        public KestruneException Error
        {
            get
            {
                uint code = Native.Check(Native.KSRN_GetRequestError(Id),
                                         nameof(Native.KSRN_GetRequestError));
                return code == 0 ? null
                                 : new KestruneException(code, nameof(Native.KSRN_GetRequestError));
            }
        }

        public byte[] Body
        {
            get
            {
                var body = new byte[Native.Check(Native.KSRN_GetBodySize(Id),
                                                 nameof(Native.KSRN_GetBodySize))];
                Native.Check(Native.KSRN_CopyBody(Id, body, body.Length),
                             nameof(Native.KSRN_CopyBody));
                return body;
            }
        }

        // The response's header lines in order, every value of a name, names looked up
        // case-blind. The status line is Status.
        public NameValueCollection Headers
        {
            get
            {
                var block = new byte[Native.Check(Native.KSRN_GetHeadersSize(Id),
                                                  nameof(Native.KSRN_GetHeadersSize))];
                Native.Check(Native.KSRN_CopyHeaders(Id, block, block.Length),
                             nameof(Native.KSRN_CopyHeaders));
                var headers = new NameValueCollection(StringComparer.OrdinalIgnoreCase);
                string[] lines = Encoding.UTF8.GetString(block).Split(new[] { "\r\n" },
                                                                      StringSplitOptions.None);
                for (int i = 1; i < lines.Length; ++i)
                {
                    int colon = lines[i].IndexOf(':');
                    if (colon > 0)
                        headers.Add(lines[i].Substring(0, colon),
                                    lines[i].Substring(colon + 1).Trim());
                }
                return headers;
            }
        }

        // A queued request ends at once with 995, a running one soon after.
        public void Cancel()
        {
            Native.Check(Native.KSRN_Cancel(Id), nameof(Native.KSRN_Cancel));
        }

        // Polls until the request is ready, backing off from 1 ms to 50 ms, without holding a
        // thread. Throws the request's error when its outcome is not 0. When the token is
        // cancelled first, cancels the request in the library and throws
        // OperationCanceledException.
        public async Task WaitAsync(CancellationToken token = default(CancellationToken))
        {
            try
            {
                for (int delayMs = FirstPollMs; !IsReady;
                     delayMs = Math.Min(delayMs * 2, LastPollMs))
                    await Task.Delay(delayMs, token).ConfigureAwait(false);
            }
            catch (OperationCanceledException)
            {
                Cancel();
                throw;
            }
            KestruneException error = Error;
            if (error != null)
                throw error;
        }
    }
}
