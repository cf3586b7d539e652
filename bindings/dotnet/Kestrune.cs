// Kestrune for .NET: the library's exports and a small wrapper, in one file to add to a project
// (or the Kestrune NuGet package, which carries it compiled with both native libraries).
// [DllImport("kestrune")] finds Kestrune.dll on Windows and libkestrune.so on Linux; both the
// runtime's and Mono's loaders look beside the program first, and .NET also in the package's
// runtimes/<rid>/native folder. Strings are UTF-16 on every platform (CharSet.Unicode, Mono's
// included), as the exports take them.
using System;
using System.Collections.Generic;
using System.Collections.Specialized;
using System.Globalization;
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

        // 1.1. The runtime binds an export on its first call, so a 1.0 library serves everything
        // else and only these calls fail (EntryPointNotFoundException, see Since11).
        [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
        public static extern int KSRN_GetDelivery(int id);
        [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
        public static extern int KSRN_GetTimingUs(int id, int mark);
        [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
        public static extern int KSRN_CopyRemoteAddress(int id, [Out] char[] buffer, int capacity);

        // 1.2, bound the same way: only the calls that need them fail with an older library
        // (see Since12).
        [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
        public static extern int KSRN_AllowMethod(string method);
        [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
        public static extern int KSRN_SetHostBudget(string host, int units, int periodMs);
        [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
        public static extern int KSRN_RequestWeighted(string url, string method, string headers,
                                                      byte[] body, int bodyLength, int timeoutMs,
                                                      int weight);
        [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
        public static extern int KSRN_GetHostHoldMs(string host);
        [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
        public static extern int KSRN_GetHostUnitsLeft(string host);
        [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
        public static extern int KSRN_ShareBudgets(string name);

        static readonly Lazy<bool> since11 = new Lazy<bool>(() =>
        {
            try
            {
                KSRN_GetDelivery(0);  // id 0 is refused with 87: a harmless probe
                KSRN_GetTimingUs(0, 0);
                KSRN_CopyRemoteAddress(0, null, 0);
                return true;
            }
            catch (EntryPointNotFoundException)
            {
                return false;
            }
        });

        // Whether the loaded library has the 1.1 exports (delivery, timing marks, address).
        public static bool Since11 { get { return since11.Value; } }

        internal static void Require11(string call)
        {
            if (!Since11)
                throw new NotSupportedException(call + " needs Kestrune 1.1 or later; the loaded "
                                                + "library does not export it");
        }

        // Calls a 1.2 export: with an older library, NotSupportedException naming it.
        internal static T Since12<T>(Func<T> call, string name)
        {
            try
            {
                return call();
            }
            catch (EntryPointNotFoundException)
            {
                throw new NotSupportedException(name + " needs Kestrune 1.2 or later; the loaded "
                                                + "library does not export it");
            }
        }

        // A string an export needs: null would reach the library as NULL.
        internal static string Required(string value, string argument)
        {
            if (value == null)
                throw new ArgumentNullException(argument);
            return Text(value, argument);
        }

        // Raises the last error of the call just made on this thread; passes its result on.
        internal static T Check<T>(T result, string call)
        {
            uint code = KSRN_GetLastError();
            if (code != 0)
                throw new KestruneException(code, call);
            return result;
        }

        // The last error of the call just made, for cleanup that must not throw.
        internal static uint Quietly(int result)
        {
            return KSRN_GetLastError();
        }

        // The marshaller ends a string at its first NUL, so the library would never see the rest
        // (a URL "/echo\0/evil" would request /echo): refused here instead.
        internal static string Text(string value, string argument)
        {
            if (value != null && value.IndexOf('\0') >= 0)
                throw new ArgumentException(argument + " holds a NUL, where the library would "
                                            + "end it", argument);
            return value;
        }
    }

    // How far a request got, as the library knows it (KSRN_GetDelivery).
    public enum KestruneDelivery
    {
        NOT_SENT = 0,  // no byte of it was written: safe to send again
        UNKNOWN = 1,   // it may have reached the server
        ANSWERED = 2,  // a response arrived
    }

    // The moments of a transfer the library stamps (KSRN_GetTimingUs).
    public enum KestruneMark
    {
        STARTED = 1,
        RESOLVED = 2,
        CONNECTED = 3,
        SECURED = 4,
        SENT = 5,
        FIRST_BYTE = 6,
        DONE = 7,
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
        ERROR_RETRY = 1237,
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

    // What every error the library reported carries: the code, its Win32 name (null for a code
    // the header does not list, such as another WinHTTP code on Windows), the export that
    // reported it, whether the same request may succeed if tried again, and whether it may have
    // reached the server (false only when the library knows no byte of it was written).
    public interface IKestruneError
    {
        uint Code { get; }
        string Name { get; }
        string Call { get; }
        bool Transient { get; }
        bool MayHaveReachedServer { get; }
    }

    public class KestruneException : Exception, IKestruneError
    {
        // The network or the server failed on the way, or a limit of the moment was reached
        // (32 held, the result budget, a host's budget units).
        static readonly HashSet<uint> TransientCodes = new HashSet<uint> {
            8, 30, 1237, 1816, 12002, 12004, 12007, 12017, 12029, 12030, 12152 };

        public uint Code { get; }
        public string Name { get; }
        public string Call { get; }
        public bool Transient { get; }
        public bool MayHaveReachedServer { get; }

        public KestruneException(uint code, string call)
            : this(code, call, call != nameof(Native.KSRN_Request)
                               && call != nameof(Native.KSRN_Get)
                               && call != nameof(Native.KSRN_RequestWeighted))
        {
        }

        public KestruneException(uint code, string call, bool mayHaveReachedServer)
            : base(Describe(code, call))
        {
            Code = code;
            Name = Enum.IsDefined(typeof(KestruneError), code) ? NameOf(code) : null;
            Call = call;
            Transient = TransientCodes.Contains(code);
            MayHaveReachedServer = mayHaveReachedServer;
        }

        // What WaitAsync throws for this outcome: a time-out as a TimeoutException.
        public Exception ToThrow()
        {
            return Code == (uint)KestruneError.ERROR_WINHTTP_TIMEOUT
                ? new KestruneTimeoutException(this) : (Exception)this;
        }

        internal static string Describe(uint code, string call)
        {
            return call + ": " + code + " " + NameOf(code);
        }

        static string NameOf(uint code)
        {
            return Enum.IsDefined(typeof(KestruneError), code) ? ((KestruneError)code).ToString()
                                                               : "(not in the header)";
        }
    }

    // 12002: the request ran out of time. The outcome's KestruneException is InnerException.
    public class KestruneTimeoutException : TimeoutException, IKestruneError
    {
        readonly KestruneException error;

        public KestruneTimeoutException(KestruneException error)
            : base(error.Message, error)
        {
            this.error = error;
        }

        public uint Code { get { return error.Code; } }
        public string Name { get { return error.Name; } }
        public string Call { get { return error.Call; } }
        public bool Transient { get { return error.Transient; } }
        public bool MayHaveReachedServer { get { return error.MayHaveReachedServer; } }
    }

    // The library initialised for the client's lifetime: KSRN_Init when made; on Dispose of the
    // last client alive, KSRN_Shutdown, which cancels and drops every request still held. A
    // process has one engine, so the clients share it.
    public sealed class KestruneClient : IDisposable
    {
        public const int AbiVersion = 1;
        // RFC 9110 token characters besides letters and digits: what a header name may hold.
        const string TokenPunctuation = "!#$%&'*+-.^_`|~";
        static readonly object engineLock = new object();
        static int openClients;
        bool open;

        public KestruneClient() : this(new string[0])
        {
        }

        // Then AllowMethod for each of allowMethods ("DELETE", "PUT", "PATCH"): the engine, which
        // every client shares, accepts them until it stops. A refused name throws, disposing the
        // client.
        public KestruneClient(params string[] allowMethods)
        {
            if (allowMethods == null)
                throw new ArgumentNullException(nameof(allowMethods));
            foreach (string method in allowMethods)
                Native.Required(method, nameof(allowMethods));
            lock (engineLock)
            {
                // A repeated init keeps the running engine.
                Native.Check(Native.KSRN_Init(AbiVersion), nameof(Native.KSRN_Init));
                open = true;
                ++openClients;
            }
            try
            {
                foreach (string method in allowMethods)
                    AllowMethod(method);
            }
            catch
            {
                Dispose();
                throw;
            }
        }

        // Never throws: cleanup must not replace the exception a using block is leaving with,
        // and the engine may be gone already.
        public void Dispose()
        {
            lock (engineLock)
            {
                if (!open)
                    return;
                open = false;
                if (--openClients == 0)
                    Native.Quietly(Native.KSRN_Shutdown());
            }
        }

        public override string ToString()
        {
            return "KestruneClient (" + (open ? "open" : "disposed") + ")";
        }

        // Submits a request and returns it at once. headers: "Name: value" lines joined by CR LF
        // (HeaderBlock checks and joins pairs); body: not with GET or HEAD; timeoutMs: the whole
        // request's budget, 0 for the library's 10 s, else 250 to 120000; weight: the units of
        // its host's budget it takes (SetHostBudget), 1 to 1000000 and at most that budget, any
        // other than 1 needing 1.2. A string with a NUL throws ArgumentException. With 32
        // requests held, unreferenced ones are collected (their finalizers free them) before the
        // library's 1816 is thrown.
        public KestruneRequest Request(string url, string method = "GET", string headers = null,
                                       byte[] body = null, int timeoutMs = 0, int weight = 1)
        {
            Native.Text(url, nameof(url));
            Native.Text(method, nameof(method));
            Native.Text(headers, nameof(headers));
            int length = body == null ? 0 : body.Length;
            // KSRN_Request weighs 1, and serves a library older than the weights.
            string call = weight == 1 ? nameof(Native.KSRN_Request)
                                      : nameof(Native.KSRN_RequestWeighted);
            for (int attempt = 0;; ++attempt)
            {
                int id = weight == 1
                    ? Native.KSRN_Request(url, method, headers, body, length, timeoutMs)
                    : Native.Since12(() => Native.KSRN_RequestWeighted(url, method, headers, body,
                                                                       length, timeoutMs, weight),
                                     call);
                uint code = Native.KSRN_GetLastError();
                if (code == 0)
                    return new KestruneRequest(id);
                if (code != (uint)KestruneError.ERROR_NOT_ENOUGH_QUOTA || attempt > 0)
                    throw new KestruneException(code, call);
                GC.Collect();
                GC.WaitForPendingFinalizers();
            }
        }

        // The 1.0 signature, kept so that programs built against it run with this assembly.
        public KestruneRequest Request(string url, string method, string headers, byte[] body,
                                       int timeoutMs)
        {
            return Request(url, method, headers, body, timeoutMs, 1);
        }

        // Has the engine accept method ("DELETE", "PUT" or "PATCH", any case) besides GET, HEAD
        // and POST until it stops; it goes out upper-cased. Other names throw 87 (needs 1.2).
        public void AllowMethod(string method)
        {
            Native.Required(method, nameof(method));
            Call12(() => Native.KSRN_AllowMethod(method), nameof(Native.KSRN_AllowMethod));
        }

        // Promises that in any interval of periodMs (1 to 3600000) the requests started to host,
        // an allowlisted host name in any case, weigh at most units (1 to 1000000) together; 0
        // units removes the budget and any hold. A request whose units cannot come before its
        // deadline ends with 1237, transient and never sent. Budgets last until the engine stops
        // (needs 1.2).
        public void SetHostBudget(string host, int units, int periodMs)
        {
            Native.Required(host, nameof(host));
            Call12(() => Native.KSRN_SetHostBudget(host, units, periodMs),
                   nameof(Native.KSRN_SetHostBudget));
        }

        // What is left before a request to host may start again, after a 429, 418 or 503 held
        // the budgeted host (Retry-After, or one period without it); zero when not held (1.2).
        public TimeSpan HostHoldTime(string host)
        {
            Native.Required(host, nameof(host));
            return TimeSpan.FromMilliseconds(Call12(() => Native.KSRN_GetHostHoldMs(host),
                                                    nameof(Native.KSRN_GetHostHoldMs)));
        }

        // The units a request to host could take now (0 while held), null when the host has no
        // budget (needs 1.2).
        public int? HostUnitsLeft(string host)
        {
            Native.Required(host, nameof(host));
            try
            {
                return Call12(() => Native.KSRN_GetHostUnitsLeft(host),
                              nameof(Native.KSRN_GetHostUnitsLeft));
            }
            catch (KestruneException error)
                when (error.Code == (uint)KestruneError.ERROR_NOT_FOUND)
            {
                return null;
            }
        }

        // Shares the budgets and holds with every process of this user on this machine that
        // shares the same name (1 to 64 of A-Za-z0-9._-, else 87), so that their starts together
        // stay within each budget (needs 1.2).
        public void ShareBudgets(string name)
        {
            Native.Required(name, nameof(name));
            Call12(() => Native.KSRN_ShareBudgets(name), nameof(Native.KSRN_ShareBudgets));
        }

        static int Call12(Func<int> call, string name)
        {
            return Native.Check(Native.Since12(call, name), name);
        }

        // Request with DELETE, PUT or PATCH, which AllowMethod must have allowed (else 5).
        public KestruneRequest Delete(string url, string headers = null, byte[] body = null,
                                      int timeoutMs = 0, int weight = 1)
        {
            return Request(url, "DELETE", headers, body, timeoutMs, weight);
        }

        public KestruneRequest Put(string url, string headers = null, byte[] body = null,
                                   int timeoutMs = 0, int weight = 1)
        {
            return Request(url, "PUT", headers, body, timeoutMs, weight);
        }

        public KestruneRequest Patch(string url, string headers = null, byte[] body = null,
                                     int timeoutMs = 0, int weight = 1)
        {
            return Request(url, "PATCH", headers, body, timeoutMs, weight);
        }

        // Header pairs as the block Request takes. Once joined, the library cannot tell a pair
        // from a line smuggled in a value, so names must be tokens and values free of CR, LF and
        // NUL.
        public static string HeaderBlock(IEnumerable<KeyValuePair<string, string>> pairs)
        {
            var lines = new List<string>();
            foreach (var pair in pairs)
            {
                string name = pair.Key ?? "";
                bool token = name.Length > 0;
                foreach (char c in name)
                    token &= c < 128 && (char.IsLetterOrDigit(c)
                                         || TokenPunctuation.IndexOf(c) >= 0);
                if (!token)
                    throw new ArgumentException("header name \"" + name + "\" is not a token",
                                                nameof(pairs));
                if (pair.Value == null || pair.Value.IndexOfAny(new[] { '\r', '\n', '\0' }) >= 0)
                    throw new ArgumentException("header " + name + ": the value is null or holds "
                                                + "CR, LF or NUL", nameof(pairs));
                lines.Add(name + ": " + pair.Value);
            }
            return string.Join("\r\n", lines);
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

    // One submitted request, freed (KSRN_Free) on Dispose, or by its finalizer when it is
    // collected undisposed: an abandoned request would otherwise hold one of the library's 32
    // places for good. Its results throw KestruneException 996 before it is ready and 1168 once
    // it is freed.
    public sealed class KestruneRequest : IDisposable
    {
        const int FirstPollMs = 1;
        const int LastPollMs = 50;
        // The answers that may carry a Retry-After worth following.
        static readonly int[] RetryAfterStatuses = { 418, 429, 503 };
        int held = 1;

        public int Id { get; }

        internal KestruneRequest(int id)
        {
            Id = id;
        }

        ~KestruneRequest()
        {
            Free();
        }

        // Never throws: after the client is gone, or again, there is nothing left to free.
        public void Dispose()
        {
            Free();
            GC.SuppressFinalize(this);
        }

        void Free()
        {
            if (Interlocked.Exchange(ref held, 0) == 1)
                Native.Quietly(Native.KSRN_Free(Id));
        }

        public override string ToString()
        {
            return "KestruneRequest " + Id + (held == 0 ? " (disposed)" : "");
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
                if (code == 0)
                    return null;
                bool reached = !Native.Since11 || Delivery != KestruneDelivery.NOT_SENT;
                return new KestruneException(code, nameof(Native.KSRN_GetRequestError), reached);
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

        // How far the request got (needs Kestrune 1.1).
        public KestruneDelivery Delivery
        {
            get
            {
                Native.Require11(nameof(Native.KSRN_GetDelivery));
                return (KestruneDelivery)Native.Check(Native.KSRN_GetDelivery(Id),
                                                      nameof(Native.KSRN_GetDelivery));
            }
        }

        // Seconds from the request's registration to each moment the transfer reached; moments
        // not reached are absent (needs Kestrune 1.1).
        public IDictionary<KestruneMark, double> Timings
        {
            get
            {
                Native.Require11(nameof(Native.KSRN_GetTimingUs));
                var reached = new SortedDictionary<KestruneMark, double>();
                foreach (KestruneMark mark in Enum.GetValues(typeof(KestruneMark)))
                {
                    int microseconds = Native.Check(Native.KSRN_GetTimingUs(Id, (int)mark),
                                                    nameof(Native.KSRN_GetTimingUs));
                    if (microseconds >= 0)
                        reached[mark] = microseconds / 1e6;
                }
                return reached;
            }
        }

        // The address the request was sent to, "" when no connection was made (needs 1.1).
        public string RemoteAddress
        {
            get
            {
                Native.Require11(nameof(Native.KSRN_CopyRemoteAddress));
                int length = Native.KSRN_CopyRemoteAddress(Id, null, 0);
                uint code = Native.KSRN_GetLastError();
                if (code != 0 && code != (uint)KestruneError.ERROR_INSUFFICIENT_BUFFER)
                    throw new KestruneException(code, nameof(Native.KSRN_CopyRemoteAddress));
                var buffer = new char[length];
                Native.Check(Native.KSRN_CopyRemoteAddress(Id, buffer, length),
                             nameof(Native.KSRN_CopyRemoteAddress));
                return new string(buffer).TrimEnd('\0');
            }
        }

        // What a 429, 418 or 503 answer asks to wait (Retry-After as seconds or a date); null
        // for other answers or without the header. Nothing here retries by itself.
        public TimeSpan? RetryAfter
        {
            get
            {
                if (Array.IndexOf(RetryAfterStatuses, Status) < 0)
                    return null;
                return ParseRetryAfter(Headers["Retry-After"], DateTimeOffset.UtcNow);
            }
        }

        // A Retry-After value: delta-seconds, or an HTTP-date (zero once past); null when absent
        // or malformed.
        public static TimeSpan? ParseRetryAfter(string value, DateTimeOffset now)
        {
            if (value == null)
                return null;
            value = value.Trim();
            long seconds;
            if (long.TryParse(value, NumberStyles.None, CultureInfo.InvariantCulture, out seconds))
                return TimeSpan.FromSeconds(seconds);
            DateTimeOffset when;
            if (!DateTimeOffset.TryParseExact(value, "r", CultureInfo.InvariantCulture,
                                              DateTimeStyles.AssumeUniversal, out when))
                return null;
            return when > now ? when - now : TimeSpan.Zero;
        }

        // A queued request ends at once with 995, a running one soon after.
        public void Cancel()
        {
            Native.Check(Native.KSRN_Cancel(Id), nameof(Native.KSRN_Cancel));
        }

        // Polls until the request is ready, backing off from 1 ms to 50 ms, without holding a
        // thread. Throws the request's error when its outcome is not 0 (a time-out as
        // KestruneTimeoutException, a TimeoutException). When the token is cancelled first,
        // cancels the request in the library and always throws OperationCanceledException.
        public async Task WaitAsync(CancellationToken token = default(CancellationToken))
        {
            try
            {
                for (int delayMs = FirstPollMs;; delayMs = Math.Min(delayMs * 2, LastPollMs))
                {
                    token.ThrowIfCancellationRequested();  // a cancelled wait ends as one
                    if (IsReady)
                        break;
                    await Task.Delay(delayMs, token).ConfigureAwait(false);
                }
            }
            catch (OperationCanceledException)
            {
                Native.Quietly(Native.KSRN_Cancel(Id));  // the request may be disposed already
                throw;
            }
            KestruneException error = Error;
            if (error != null)
                throw error.ToThrow();
        }
    }
}
