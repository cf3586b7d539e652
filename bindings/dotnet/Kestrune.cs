// Kestrune for .NET: the library's exports and a wrapper, in one file to add to a project (or
// the Kestrune NuGet package, which carries it compiled with both native libraries). The library
// is the file KESTRUNE_LIBRARY names, else what [DllImport("kestrune")] finds: Kestrune.dll on
// Windows and libkestrune.so on Linux; both the runtime's and Mono's loaders look beside the
// program first, and .NET also in the package's runtimes/<rid>/native folder. Strings are UTF-16
// on every platform (CharSet.Unicode, Mono's included), as the exports take them.
using System;
using System.Collections.Generic;
using System.Collections.Specialized;
using System.Globalization;
using System.IO;
using System.Linq;
using System.Net;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace Kestrune
{
    /// <summary>The exports as include/kestrune.h declares them. Each one but KSRN_GetLastError
    /// sets the calling thread's last error: read it right after the call, on the same
    /// thread.</summary>
    public static class Native
    {
        const string Library = "kestrune";
        const CharSet Utf16 = CharSet.Unicode;
        const CallingConvention C = CallingConvention.Cdecl;

        // The exports are documented by kestrune(3), one page each, and the header.
#pragma warning disable 1591
        // One delegate type per signature of the exports.
        [UnmanagedFunctionPointer(C, CharSet = Utf16)] delegate int Count();
        [UnmanagedFunctionPointer(C, CharSet = Utf16)] delegate uint LastError();
        [UnmanagedFunctionPointer(C, CharSet = Utf16)] delegate int OfInt(int value);
        [UnmanagedFunctionPointer(C, CharSet = Utf16)] delegate uint CodeOf(int id);
        [UnmanagedFunctionPointer(C, CharSet = Utf16)] delegate int OfInts(int value, int other);
        [UnmanagedFunctionPointer(C, CharSet = Utf16)] delegate int OfText(string text);
        [UnmanagedFunctionPointer(C, CharSet = Utf16)]
        delegate int OfTextInt(string text, int value);
        [UnmanagedFunctionPointer(C, CharSet = Utf16)]
        delegate int OfTextInts(string text, int value, int other);
        [UnmanagedFunctionPointer(C, CharSet = Utf16)]
        delegate int CopyBytes(int id, [Out] byte[] buffer, int capacity);
        [UnmanagedFunctionPointer(C, CharSet = Utf16)]
        delegate int CopyChars(int id, [Out] char[] buffer, int capacity);
        [UnmanagedFunctionPointer(C, CharSet = Utf16)]
        delegate int Submit(string url, string method, string headers, byte[] body,
                            int bodyLength, int timeoutMs);
        [UnmanagedFunctionPointer(C, CharSet = Utf16)]
        delegate int SubmitWeighted(string url, string method, string headers, byte[] body,
                                    int bodyLength, int timeoutMs, int weight);

        public static int KSRN_GetAbiVersion() => Use<Count>(nameof(KSRN_GetAbiVersion))();
        public static int KSRN_Init(int abiVersion) => Use<OfInt>(nameof(KSRN_Init))(abiVersion);
        public static int KSRN_Shutdown() => Use<Count>(nameof(KSRN_Shutdown))();
        public static uint KSRN_GetLastError() => Use<LastError>(nameof(KSRN_GetLastError))();
        public static int KSRN_SetThrottleMs(int throttleMs) =>
            Use<OfInt>(nameof(KSRN_SetThrottleMs))(throttleMs);
        public static int KSRN_Request(string url, string method, string headers, byte[] body,
                                       int bodyLength, int timeoutMs) =>
            Use<Submit>(nameof(KSRN_Request))(url, method, headers, body, bodyLength, timeoutMs);
        public static int KSRN_Get(string url, int timeoutMs) =>
            Use<OfTextInt>(nameof(KSRN_Get))(url, timeoutMs);
        public static int KSRN_IsReady(int id) => Use<OfInt>(nameof(KSRN_IsReady))(id);
        public static int KSRN_Succeeded(int id) => Use<OfInt>(nameof(KSRN_Succeeded))(id);
        public static int KSRN_GetStatusCode(int id) => Use<OfInt>(nameof(KSRN_GetStatusCode))(id);
        public static uint KSRN_GetRequestError(int id) =>
            Use<CodeOf>(nameof(KSRN_GetRequestError))(id);
        public static int KSRN_GetBodySize(int id) => Use<OfInt>(nameof(KSRN_GetBodySize))(id);
        public static int KSRN_CopyBody(int id, byte[] buffer, int capacity) =>
            Use<CopyBytes>(nameof(KSRN_CopyBody))(id, buffer, capacity);
        public static int KSRN_GetHeadersSize(int id) =>
            Use<OfInt>(nameof(KSRN_GetHeadersSize))(id);
        public static int KSRN_CopyHeaders(int id, byte[] buffer, int capacity) =>
            Use<CopyBytes>(nameof(KSRN_CopyHeaders))(id, buffer, capacity);
        public static int KSRN_Cancel(int id) => Use<OfInt>(nameof(KSRN_Cancel))(id);
        public static int KSRN_Free(int id) => Use<OfInt>(nameof(KSRN_Free))(id);
        public static int KSRN_CancelAll() => Use<Count>(nameof(KSRN_CancelAll))();
        public static int KSRN_GetPendingCount() => Use<Count>(nameof(KSRN_GetPendingCount))();

        // 1.1. An export is bound on its first call, so a 1.0 library serves everything else and
        // only these calls fail (EntryPointNotFoundException, see Since11).
        public static int KSRN_GetDelivery(int id) => Use<OfInt>(nameof(KSRN_GetDelivery))(id);
        public static int KSRN_GetTimingUs(int id, int mark) =>
            Use<OfInts>(nameof(KSRN_GetTimingUs))(id, mark);
        public static int KSRN_CopyRemoteAddress(int id, char[] buffer, int capacity) =>
            Use<CopyChars>(nameof(KSRN_CopyRemoteAddress))(id, buffer, capacity);

        // 1.2, bound the same way: only the calls that need them fail with an older library
        // (see Since12).
        public static int KSRN_AllowMethod(string method) =>
            Use<OfText>(nameof(KSRN_AllowMethod))(method);
        public static int KSRN_SetHostBudget(string host, int units, int periodMs) =>
            Use<OfTextInts>(nameof(KSRN_SetHostBudget))(host, units, periodMs);
        public static int KSRN_RequestWeighted(string url, string method, string headers,
                                               byte[] body, int bodyLength, int timeoutMs,
                                               int weight) =>
            Use<SubmitWeighted>(nameof(KSRN_RequestWeighted))(url, method, headers, body,
                                                               bodyLength, timeoutMs, weight);
        public static int KSRN_GetHostHoldMs(string host) =>
            Use<OfText>(nameof(KSRN_GetHostHoldMs))(host);
        public static int KSRN_GetHostUnitsLeft(string host) =>
            Use<OfText>(nameof(KSRN_GetHostUnitsLeft))(host);
        public static int KSRN_ShareBudgets(string name) =>
            Use<OfText>(nameof(KSRN_ShareBudgets))(name);
        public static int KSRN_SetKeepAliveMs(int idleMs) =>
            Use<OfInt>(nameof(KSRN_SetKeepAliveMs))(idleMs);
        public static int KSRN_GetConnectionReused(int id) =>
            Use<OfInt>(nameof(KSRN_GetConnectionReused))(id);
        public static int KSRN_WaitForCompletion(int seen, int timeoutMs) =>
            Use<OfInts>(nameof(KSRN_WaitForCompletion))(seen, timeoutMs);

#pragma warning restore 1591

        // The library the exports come from, in this order: the file KESTRUNE_LIBRARY names
        // (DllNotFoundException when it does not load: never another library instead), else
        // DllImport's search for "kestrune" (beside the program first, then, on .NET, the
        // package's runtimes/<rid>/native folder, then the system's paths).
        static readonly Lazy<IntPtr> named = new Lazy<IntPtr>(() =>
        {
            string path = Environment.GetEnvironmentVariable("KESTRUNE_LIBRARY");
            if (string.IsNullOrEmpty(path))
                return IntPtr.Zero;
            IntPtr library = Windows ? LoadLibraryW(path) : dlopen(path, RtldNow);
            if (library == IntPtr.Zero)
                throw new DllNotFoundException("KESTRUNE_LIBRARY names " + path + ", which does "
                                               + "not load: " + (Windows
                                                   ? "error " + Marshal.GetLastWin32Error()
                                                   : Marshal.PtrToStringAnsi(dlerror())));
            return library;
        });
        static readonly Dictionary<string, Delegate> bound = new Dictionary<string, Delegate>();
        static readonly bool Windows = Path.DirectorySeparatorChar == '\\';
        const int RtldNow = 2;

        // The export name as a T, from the library chosen above.
        static T Use<T>(string name) where T : class
        {
            Delegate call;
            lock (bound)
                if (bound.TryGetValue(name, out call))
                    return (T)(object)call;
            IntPtr library = named.Value;
            if (library == IntPtr.Zero)
                call = Delegate.CreateDelegate(typeof(T), typeof(Searched).GetMethod(
                    name, BindingFlags.NonPublic | BindingFlags.Static));
            else
            {
                IntPtr address = Windows ? GetProcAddress(library, name) : dlsym(library, name);
                if (address == IntPtr.Zero)
                    throw new EntryPointNotFoundException(name + " is not exported by "
                                                          + "KESTRUNE_LIBRARY's library");
                call = Marshal.GetDelegateForFunctionPointer(address, typeof(T));
            }
            lock (bound)
                bound[name] = call;
            return (T)(object)call;
        }

        [DllImport("libdl.so.2")] static extern IntPtr dlopen(string path, int flags);
        [DllImport("libdl.so.2")] static extern IntPtr dlsym(IntPtr library, string name);
        [DllImport("libdl.so.2")] static extern IntPtr dlerror();
        [DllImport("kernel32", CharSet = CharSet.Unicode, SetLastError = true)]
        static extern IntPtr LoadLibraryW(string path);
        [DllImport("kernel32", CharSet = CharSet.Ansi, BestFitMapping = false)]
        static extern IntPtr GetProcAddress(IntPtr library, string name);

        // The exports as DllImport finds them.
        static class Searched
        {
            [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
            internal static extern int KSRN_GetAbiVersion();
            [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
            internal static extern int KSRN_Init(int abiVersion);
            [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
            internal static extern int KSRN_Shutdown();
            [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
            internal static extern uint KSRN_GetLastError();
            [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
            internal static extern int KSRN_SetThrottleMs(int throttleMs);
            [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
            internal static extern int KSRN_Request(string url, string method, string headers,
                                                    byte[] body, int bodyLength, int timeoutMs);
            [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
            internal static extern int KSRN_Get(string url, int timeoutMs);
            [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
            internal static extern int KSRN_IsReady(int id);
            [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
            internal static extern int KSRN_Succeeded(int id);
            [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
            internal static extern int KSRN_GetStatusCode(int id);
            [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
            internal static extern uint KSRN_GetRequestError(int id);
            [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
            internal static extern int KSRN_GetBodySize(int id);
            [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
            internal static extern int KSRN_CopyBody(int id, [Out] byte[] buffer, int capacity);
            [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
            internal static extern int KSRN_GetHeadersSize(int id);
            [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
            internal static extern int KSRN_CopyHeaders(int id, [Out] byte[] buffer, int capacity);
            [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
            internal static extern int KSRN_Cancel(int id);
            [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
            internal static extern int KSRN_Free(int id);
            [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
            internal static extern int KSRN_CancelAll();
            [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
            internal static extern int KSRN_GetPendingCount();
            [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
            internal static extern int KSRN_GetDelivery(int id);
            [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
            internal static extern int KSRN_GetTimingUs(int id, int mark);
            [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
            internal static extern int KSRN_CopyRemoteAddress(int id, [Out] char[] buffer,
                                                              int capacity);
            [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
            internal static extern int KSRN_AllowMethod(string method);
            [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
            internal static extern int KSRN_SetHostBudget(string host, int units, int periodMs);
            [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
            internal static extern int KSRN_RequestWeighted(string url, string method,
                                                            string headers, byte[] body,
                                                            int bodyLength, int timeoutMs,
                                                            int weight);
            [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
            internal static extern int KSRN_GetHostHoldMs(string host);
            [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
            internal static extern int KSRN_GetHostUnitsLeft(string host);
            [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
            internal static extern int KSRN_ShareBudgets(string name);
            [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
            internal static extern int KSRN_SetKeepAliveMs(int idleMs);
            [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
            internal static extern int KSRN_GetConnectionReused(int id);
            [DllImport(Library, CharSet = Utf16, CallingConvention = C, ExactSpelling = true)]
            internal static extern int KSRN_WaitForCompletion(int seen, int timeoutMs);
        }

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

        /// <summary>Whether the loaded library has the 1.1 exports (delivery, timing marks,
        /// address).</summary>
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
                throw KestruneException.Of(code, call, true);  // as unknown, unless said otherwise
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

        // A number the library takes only within [min, max], refused here with its name.
        internal static int InRange(long value, long min, long max, string argument)
        {
            if (value < min || value > max)
                throw new ArgumentOutOfRangeException(argument, value, argument + " must lie in "
                                                      + min + " to " + max);
            return (int)value;
        }

        // Milliseconds of a TimeSpan, checked before the conversion can overflow.
        internal static int Milliseconds(TimeSpan span, long min, long max, string argument)
        {
            double ms = Math.Ceiling(span.TotalMilliseconds);
            if (ms < min || ms > max)
                throw new ArgumentOutOfRangeException(argument, span, argument + " must lie in "
                                                      + min + " to " + max + " ms");
            return (int)ms;
        }

        // Text from a caller shown in a message: control characters escaped, so that a CR or LF
        // cannot forge lines of a log.
        internal static string Escape(string value)
        {
            var escaped = new StringBuilder();
            foreach (char c in value ?? "")
                escaped.Append(c >= ' ' && c != '\x7f' && c != '\\' ? c.ToString()
                               : c == '\\' ? "\\\\" : "\\u" + ((int)c).ToString("x4"));
            return escaped.ToString();
        }
    }

    /// <summary>How far a request got, as the library knows it (KSRN_GetDelivery).</summary>
    public enum KestruneDelivery
    {
        /// <summary>No byte of it was written: safe to send again.</summary>
        NOT_SENT = 0,
        /// <summary>It may have reached the server.</summary>
        UNKNOWN = 1,
        /// <summary>A response arrived.</summary>
        ANSWERED = 2,
    }

    /// <summary>The moments of a transfer the library stamps (KSRN_GetTimingUs).</summary>
    public enum KestruneMark
    {
#pragma warning disable 1591 // the header's KSRN_MARK_ macros, which say what each one is
        STARTED = 1,
        RESOLVED = 2,
        CONNECTED = 3,
        SECURED = 4,
        SENT = 5,
        FIRST_BYTE = 6,
        DONE = 7,
#pragma warning restore 1591
    }

    /// <summary>The codes the library reports, named as in Win32 (the header's KSRN_ERROR_
    /// macros).</summary>
    public enum KestruneError : uint
    {
#pragma warning disable 1591 // kestrune-errors(3) says what each means and what to do
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
#pragma warning restore 1591
    }

    /// <summary>What every error the library reported carries: the code, its Win32 name (null
    /// for a code the header does not list), the export that reported it, whether the same
    /// request may succeed if tried again, and whether it may have reached the server (false
    /// only when the library knows no byte of it was written).</summary>
    public interface IKestruneError
    {
        /// <summary>The code (KestruneError), 0 for an error of the binding's own.</summary>
        uint Code { get; }
        /// <summary>The code's Win32 name, null for a code the header does not list.</summary>
        string Name { get; }
        /// <summary>The export (or method) that reported it.</summary>
        string Call { get; }
        /// <summary>Whether the same request may succeed when tried again.</summary>
        bool Transient { get; }
        /// <summary>False only when the library knows no byte of the request was
        /// written.</summary>
        bool MayHaveReachedServer { get; }
    }

    /// <summary>The base of every error Kestrune reports; its subclasses name the kind. A request
    /// that failed after part of its body arrived keeps that part in <see
    /// cref="PartialBody"/>.</summary>
    public class KestruneException : Exception, IKestruneError
    {
        // The network or the server failed on the way, or a limit of the moment was reached
        // (32 held, the result budget, a host's budget units).
        static readonly HashSet<uint> TransientCodes = new HashSet<uint> {
            8, 30, 1237, 1816, 12002, 12004, 12007, 12017, 12029, 12030, 12152 };
        static readonly HashSet<uint> ConnectionCodes = new HashSet<uint> {
            30, 12004, 12007, 12029, 12030, 12152 };
        static readonly HashSet<uint> TlsCodes = new HashSet<uint> { 12157, 12175 };

        /// <inheritdoc/>
        public uint Code { get; }
        /// <inheritdoc/>
        public string Name { get; }
        /// <inheritdoc/>
        public string Call { get; }
        /// <inheritdoc/>
        public bool Transient { get; }
        /// <inheritdoc/>
        public bool MayHaveReachedServer { get; }
        /// <summary>The bytes of the body that arrived before the request failed, else
        /// null.</summary>
        public byte[] PartialBody { get; internal set; }

        /// <summary>A code reported by call; a refused submission never reached the
        /// server.</summary>
        public KestruneException(uint code, string call)
            : this(code, call, call != nameof(Native.KSRN_Request)
                               && call != nameof(Native.KSRN_Get)
                               && call != nameof(Native.KSRN_RequestWeighted))
        {
        }

        /// <summary>A code reported by call, with whether the request may have reached the
        /// server.</summary>
        public KestruneException(uint code, string call, bool mayHaveReachedServer)
            : this(code, call, mayHaveReachedServer, Describe(code, call))
        {
        }

        /// <summary>A kind's own message.</summary>
        protected KestruneException(uint code, string call, bool mayHaveReachedServer,
                                    string message)
            : base(message)
        {
            Code = code;
            Name = Enum.IsDefined(typeof(KestruneError), code) ? NameOf(code) : null;
            Call = call;
            Transient = TransientCodes.Contains(code);
            MayHaveReachedServer = mayHaveReachedServer;
        }

        // The exception of the kind a code reports.
        internal static KestruneException Of(uint code, string call, bool reached)
        {
            if (code == (uint)KestruneError.ERROR_WINHTTP_TIMEOUT)
                return new KestruneTimeoutException(call, reached);
            if (code == (uint)KestruneError.ERROR_OPERATION_ABORTED
                || code == (uint)KestruneError.ERROR_WINHTTP_OPERATION_CANCELLED)
                return new KestruneCancelledException(code, call, reached);
            if (ConnectionCodes.Contains(code))
                return new KestruneConnectionException(code, call, reached);
            if (TlsCodes.Contains(code))
                return new KestruneTlsException(code, call, reached);
            return new KestruneException(code, call, reached);
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

    /// <summary>The rule of the library's policy a submission broke.</summary>
    public enum KestrunePolicyRule
    {
        /// <summary>Only https is requested.</summary>
        Scheme,
        /// <summary>Only port 443 is requested.</summary>
        Port,
        /// <summary>A URL with a user part ("user@", even empty) is refused.</summary>
        UserInfo,
        /// <summary>Only the compiled-in exchange hosts are requested.</summary>
        Host,
        /// <summary>GET, HEAD and POST, and DELETE, PUT or PATCH once allowed.</summary>
        Method,
        /// <summary>A header the library sets itself (Host, Connection, Content-Length,
        /// Transfer-Encoding, Proxy-Connection, Proxy-Authorization).</summary>
        Header,
        /// <summary>Refused by a rule the binding could not tell.</summary>
        Other,
    }

    /// <summary>A submission the library refused by its policy (5, ERROR_ACCESS_DENIED), with
    /// the rule broken. Never sent.</summary>
    public class KestrunePolicyException : KestruneException
    {
        /// <summary>The rule broken.</summary>
        public KestrunePolicyRule Rule { get; }

        internal KestrunePolicyException(KestrunePolicyRule rule, string detail, string call)
            : base((uint)KestruneError.ERROR_ACCESS_DENIED, call, false,
                   Describe((uint)KestruneError.ERROR_ACCESS_DENIED, call) + ": " + detail)
        {
            Rule = rule;
        }
    }

    /// <summary>No connection, or it broke, or the answer could not be read (12004, 12007,
    /// 12029, 12030, 12152, 30).</summary>
    public class KestruneConnectionException : KestruneException
    {
        internal KestruneConnectionException(uint code, string call, bool reached)
            : base(code, call, reached)
        {
        }
    }

    /// <summary>The TLS handshake or the server's certificate failed (12157, 12175).</summary>
    public class KestruneTlsException : KestruneException
    {
        internal KestruneTlsException(uint code, string call, bool reached)
            : base(code, call, reached)
        {
        }
    }

    /// <summary>The request ran out of its own time (12002); see <see
    /// cref="KestruneWaitTimeoutException"/> for a wait that gave up.</summary>
    public class KestruneTimeoutException : KestruneException
    {
        internal KestruneTimeoutException(string call, bool reached)
            : base((uint)KestruneError.ERROR_WINHTTP_TIMEOUT, call, reached)
        {
        }
    }

    /// <summary>A wait gave up before the request finished (996, ERROR_IO_INCOMPLETE): the
    /// request goes on, to be waited for again, cancelled or disposed.</summary>
    public class KestruneWaitTimeoutException : KestruneException
    {
        internal KestruneWaitTimeoutException(TimeSpan waited)
            : base((uint)KestruneError.ERROR_IO_INCOMPLETE, "WaitAsync", true,
                   "WaitAsync: the request did not finish within " + waited
                   + "; it is still running")
        {
        }
    }

    /// <summary>The request was cancelled (995, or 12017 from WinHTTP).</summary>
    public class KestruneCancelledException : KestruneException
    {
        internal KestruneCancelledException(uint code, string call, bool reached)
            : base(code, call, reached)
        {
        }

        internal KestruneCancelledException(string message)
            : base((uint)KestruneError.ERROR_OPERATION_ABORTED, "Dispose", true, message)
        {
        }
    }

    /// <summary>The request's client was disposed before the request finished: it was cancelled
    /// and freed with the client.</summary>
    public class KestruneClientClosedException : KestruneCancelledException
    {
        internal KestruneClientClosedException()
            : base("the KestruneClient of this request was disposed: the request was cancelled "
                   + "and freed with it")
        {
        }
    }

    /// <summary>An answer whose status is not 2xx, from <see
    /// cref="KestruneRequest.EnsureSuccessStatusCode"/>.</summary>
    public class KestruneHttpException : KestruneException
    {
        /// <summary>The status the server answered.</summary>
        public HttpStatusCode StatusCode { get; }

        internal KestruneHttpException(HttpStatusCode status)
            : base(0, "EnsureSuccessStatusCode", true,
                   "EnsureSuccessStatusCode: the server answered " + (int)status + " " + status)
        {
            StatusCode = status;
        }
    }

    /// <summary>What is process-wide: the one engine every <see cref="KestruneClient"/> shares
    /// and its settings (throttle, kept connections, allowed methods, host budgets). The engine
    /// starts with the first client and stops, forgetting every setting, when the last one is
    /// disposed; each setting call needs a client open (else InvalidOperationException).</summary>
    public static class KestruneProcess
    {
        static readonly object engineLock = new object();
        static readonly HashSet<string> allowedMethods =
            new HashSet<string>(StringComparer.OrdinalIgnoreCase) { "GET", "HEAD", "POST" };
        static int openClients;

        /// <summary>Called with the body text and the wanted type by <see
        /// cref="KestruneRequest.ReadAsJson{T}()"/>: the binding parses no JSON itself, so that
        /// it depends on nothing (set it to the serializer of the program, such as
        /// System.Text.Json's JsonSerializer.Deserialize).</summary>
        public static Func<string, Type, object> JsonDeserializer { get; set; }

        internal static void Open(string[] allowMethods, TimeSpan? keepAlive)
        {
            lock (engineLock)
            {
                // A repeated init keeps the running engine.
                Native.Check(Native.KSRN_Init(KestruneClient.AbiVersion),
                             nameof(Native.KSRN_Init));
                ++openClients;
            }
            try
            {
                foreach (string method in allowMethods)
                    AllowMethod(method);
                if (keepAlive.HasValue)
                    SetKeepAlive(keepAlive.Value);
            }
            catch
            {
                Close();
                throw;
            }
        }

        // Never throws: the engine may be gone already.
        internal static void Close()
        {
            lock (engineLock)
            {
                if (--openClients > 0)
                    return;
                Native.Quietly(Native.KSRN_Shutdown());
                allowedMethods.IntersectWith(new[] { "GET", "HEAD", "POST" });
            }
        }

        static void RequireEngine(string what)
        {
            lock (engineLock)
                if (openClients == 0)
                    throw new InvalidOperationException(what + " is a setting of the engine, "
                                                        + "which runs while a KestruneClient is "
                                                        + "open: open one first");
        }

        static int Call12(Func<int> call, string name)
        {
            return Native.Check(Native.Since12(call, name), name);
        }

        internal static bool Allows(string method)
        {
            lock (engineLock)
                return allowedMethods.Contains(method);
        }

        /// <summary>Process-wide: has the engine accept method ("DELETE", "PUT" or "PATCH", any
        /// case) besides GET, HEAD and POST until it stops; it goes out upper-cased. Other names
        /// throw 87 (needs 1.2).</summary>
        public static void AllowMethod(string method)
        {
            Native.Required(method, nameof(method));
            RequireEngine(nameof(AllowMethod));
            Call12(() => Native.KSRN_AllowMethod(method), nameof(Native.KSRN_AllowMethod));
            lock (engineLock)
                allowedMethods.Add(method);
        }

        /// <summary>Process-wide: at least throttle (0 to 60 s) between the starts of any two
        /// transfers.</summary>
        public static void SetThrottle(TimeSpan throttle)
        {
            SetThrottleMs(Native.Milliseconds(throttle, 0, 60000, nameof(throttle)));
        }

        /// <summary>Process-wide: SetThrottle in milliseconds (0 to 60000).</summary>
        public static void SetThrottleMs(int throttleMs)
        {
            Native.InRange(throttleMs, 0, 60000, nameof(throttleMs));
            RequireEngine(nameof(SetThrottle));
            Native.Check(Native.KSRN_SetThrottleMs(throttleMs), nameof(Native.KSRN_SetThrottleMs));
        }

        /// <summary>Process-wide (needs 1.2): how long (idle, 1 ms to 300 s) a connection whose
        /// exchange ended cleanly stays open for the next request to the same host, which then
        /// costs one round trip instead of a connection and a handshake; zero closes each
        /// connection after its request, as every new engine does. Warm a host with a cheap
        /// request before the one that matters. A request other than GET or HEAD whose kept
        /// connection breaks is never sent again (12030, delivery UNKNOWN).</summary>
        public static void SetKeepAlive(TimeSpan idle)
        {
            SetKeepAliveMs(Native.Milliseconds(idle, 0, 300000, nameof(idle)));
        }

        /// <summary>Process-wide: SetKeepAlive in milliseconds (0 to 300000).</summary>
        public static void SetKeepAliveMs(int idleMs)
        {
            Native.InRange(idleMs, 0, 300000, nameof(idleMs));
            RequireEngine(nameof(SetKeepAlive));
            Call12(() => Native.KSRN_SetKeepAliveMs(idleMs), nameof(Native.KSRN_SetKeepAliveMs));
        }

        /// <summary>Process-wide (needs 1.2): in any interval of periodMs (1 to 3600000) the
        /// requests started to host, an allowlisted host name in any case, weigh at most units
        /// (1 to 1000000) together; 0 units removes the budget and any hold. A request whose
        /// units cannot come before its deadline ends with 1237, transient and never sent.
        /// Budgets last until the engine stops.</summary>
        public static void SetHostBudget(string host, int units, int periodMs)
        {
            Native.Required(host, nameof(host));
            Native.InRange(units, 0, 1000000, nameof(units));
            if (units > 0)
                Native.InRange(periodMs, 1, 3600000, nameof(periodMs));
            RequireEngine(nameof(SetHostBudget));
            Call12(() => Native.KSRN_SetHostBudget(host, units, periodMs),
                   nameof(Native.KSRN_SetHostBudget));
        }

        /// <summary>Process-wide: SetHostBudget with a period of 1 ms to 1 hour.</summary>
        public static void SetHostBudget(string host, int units, TimeSpan period)
        {
            SetHostBudget(host, units, Native.Milliseconds(period, 1, 3600000, nameof(period)));
        }

        /// <summary>Process-wide (needs 1.2): what is left before a request to host may start
        /// again, after a 429, 418 or 503 held the budgeted host (Retry-After, or one period
        /// without it); zero when not held.</summary>
        public static TimeSpan HostHoldTime(string host)
        {
            Native.Required(host, nameof(host));
            RequireEngine(nameof(HostHoldTime));
            return TimeSpan.FromMilliseconds(Call12(() => Native.KSRN_GetHostHoldMs(host),
                                                    nameof(Native.KSRN_GetHostHoldMs)));
        }

        /// <summary>Process-wide (needs 1.2): the units a request to host could take now (0
        /// while held), null when the host has no budget.</summary>
        public static int? HostUnitsLeft(string host)
        {
            Native.Required(host, nameof(host));
            RequireEngine(nameof(HostUnitsLeft));
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

        // Whether the library refuses host as no exchange of its own (1.2; else unknown).
        internal static bool RefusesHost(string host)
        {
            try
            {
                Native.KSRN_GetHostUnitsLeft(host);
                return Native.KSRN_GetLastError() == (uint)KestruneError.ERROR_ACCESS_DENIED;
            }
            catch (EntryPointNotFoundException)
            {
                return false;
            }
        }

        /// <summary>Process-wide (needs 1.2): shares the budgets and holds with every process of
        /// this user on this machine that shares the same name (1 to 64 of A-Za-z0-9._-, else
        /// 87), so that their starts together stay within each budget.</summary>
        public static void ShareBudgets(string name)
        {
            Native.Required(name, nameof(name));
            RequireEngine(nameof(ShareBudgets));
            Call12(() => Native.KSRN_ShareBudgets(name), nameof(Native.KSRN_ShareBudgets));
        }

        /// <summary>Process-wide: the unfinished requests of every client (0 without a
        /// client).</summary>
        public static int PendingCount
        {
            get
            {
                lock (engineLock)
                    if (openClients == 0)
                        return 0;
                return Native.Check(Native.KSRN_GetPendingCount(),
                                    nameof(Native.KSRN_GetPendingCount));
            }
        }

        /// <summary>Process-wide: cancels the unfinished requests of every client; how many
        /// were.</summary>
        public static int CancelAll()
        {
            RequireEngine(nameof(CancelAll));
            return Native.Check(Native.KSRN_CancelAll(), nameof(Native.KSRN_CancelAll));
        }
    }

    // One thread that waits on the library's completion count and ends the waits of the
    // requests that finished: no wait polls. It runs while some wait is pending.
    static class CompletionWaiter
    {
        // Wakes at least this often to notice waits that ended otherwise and leave when none is.
        const int WakeMs = 1000;
        // A library older than 1.2 has no completion count: its requests are looked at this
        // often instead (and after a failed wait).
        const int OlderLibraryMs = 10;
        static bool counting = true;
        static readonly object gate = new object();
        static readonly Dictionary<TaskCompletionSource<bool>, KestruneRequest> waits =
            new Dictionary<TaskCompletionSource<bool>, KestruneRequest>();
        static bool running;

        internal static void Add(TaskCompletionSource<bool> wait, KestruneRequest request)
        {
            lock (gate)
            {
                waits.Add(wait, request);
                if (!running)
                {
                    running = true;
                    new Thread(Run) { IsBackground = true, Name = "Kestrune completions" }.Start();
                }
            }
            // A request that finished before the waiter read the count it waits on.
            if (request.TryEnd(wait))
                Remove(wait);
        }

        internal static void Remove(TaskCompletionSource<bool> wait)
        {
            lock (gate)
                waits.Remove(wait);
        }

        // Ends the waits of a request that is gone, with the reason.
        internal static void Fail(KestruneRequest request, Exception reason)
        {
            KeyValuePair<TaskCompletionSource<bool>, KestruneRequest>[] pending;
            lock (gate)
                pending = waits.Where(wait => wait.Value == request).ToArray();
            foreach (var wait in pending)
            {
                wait.Key.TrySetException(reason);
                Remove(wait.Key);
            }
        }

        static void Run()
        {
            int seen = 0;
            for (;;)
            {
                KeyValuePair<TaskCompletionSource<bool>, KestruneRequest>[] pending;
                lock (gate)
                {
                    if (waits.Count == 0)
                    {
                        running = false;
                        return;
                    }
                    pending = waits.ToArray();
                }
                foreach (var wait in pending)
                    if (wait.Value.TryEnd(wait.Key))
                        Remove(wait.Key);
                if (!counting)
                {
                    Thread.Sleep(OlderLibraryMs);
                    continue;
                }
                try
                {
                    int count = Native.KSRN_WaitForCompletion(seen, WakeMs);
                    if (count != 0)
                        seen = count;
                    else  // no engine runs (the next round ends the waits) or it failed: no spin
                        Thread.Sleep(OlderLibraryMs);
                }
                catch (EntryPointNotFoundException)
                {
                    counting = false;
                }
            }
        }
    }

    /// <summary>How a <see cref="KestruneClient"/> starts.</summary>
    public sealed class KestruneClientOptions
    {
        /// <summary>Process-wide: "DELETE", "PUT" or "PATCH" added to the methods the engine
        /// accepts (<see cref="KestruneProcess.AllowMethod"/>).</summary>
        public string[] AllowMethods { get; set; } = new string[0];

        /// <summary>Process-wide: <see cref="KestruneProcess.SetKeepAlive"/>, set when given (the
        /// last client to set it wins; needs 1.2).</summary>
        public TimeSpan? KeepAlive { get; set; }

        /// <summary>Each request's whole budget of time when the call gives none: null for the
        /// library's 10 s, else 250 ms to 120 s.</summary>
        public TimeSpan? Timeout { get; set; }
    }

    /// <summary>A client of the process's one engine (<see cref="KestruneProcess"/>): the engine
    /// starts with the first client and stops with the last. Each client owns the requests it
    /// submitted: its Dispose cancels and frees those, and only those. After Dispose, its calls
    /// throw ObjectDisposedException.</summary>
    public sealed class KestruneClient : IDisposable
    {
        /// <summary>The interface version this binding calls (KSRN_ABI_VERSION).</summary>
        public const int AbiVersion = 1;
        // RFC 9110 token characters besides letters and digits: what a header name may hold.
        const string TokenPunctuation = "!#$%&'*+-.^_`|~";
        const int MaxBodyBytes = 1 << 20;
        static readonly string[] Bodyless = { "", "GET", "HEAD" };  // "" is GET
        readonly object requestsLock = new object();
        // Weak, so that an abandoned request is still collected and freed by its finalizer.
        readonly Dictionary<int, WeakReference<KestruneRequest>> requests =
            new Dictionary<int, WeakReference<KestruneRequest>>();
        readonly int defaultTimeoutMs;
        bool open;

        /// <summary>A client with the default options.</summary>
        public KestruneClient() : this(new KestruneClientOptions())
        {
        }

        /// <summary>Then <see cref="KestruneProcess.AllowMethod"/> for each of allowMethods
        /// (process-wide). A refused name throws, disposing the client.</summary>
        public KestruneClient(params string[] allowMethods)
            : this(new KestruneClientOptions { AllowMethods = allowMethods })
        {
        }

        /// <summary>A client started with options (ArgumentNullException for null,
        /// ArgumentOutOfRangeException for a time out of range).</summary>
        public KestruneClient(KestruneClientOptions options)
        {
            if (options == null)
                throw new ArgumentNullException(nameof(options));
            string[] allowMethods = options.AllowMethods;
            if (allowMethods == null)
                throw new ArgumentNullException(nameof(options.AllowMethods));
            foreach (string method in allowMethods)
                Native.Required(method, nameof(options.AllowMethods));
            if (options.Timeout.HasValue)
                defaultTimeoutMs = Native.Milliseconds(options.Timeout.Value, 250, 120000,
                                                       nameof(options.Timeout));
            if (options.KeepAlive.HasValue)
                Native.Milliseconds(options.KeepAlive.Value, 0, 300000, nameof(options.KeepAlive));
            KestruneProcess.Open(allowMethods, options.KeepAlive);
            open = true;
        }

        /// <summary>Cancels and frees this client's requests (their waits throw
        /// KestruneClientClosedException); the last client disposed stops the engine. Never
        /// throws.</summary>
        public void Dispose()
        {
            KestruneRequest[] own;
            lock (requestsLock)
            {
                if (!open)
                    return;
                open = false;
                own = Live().ToArray();
                requests.Clear();
            }
            foreach (var request in own)
                request.Close(new KestruneClientClosedException());
            KestruneProcess.Close();
        }

        // This client's requests still referenced somewhere; the others' entries are dropped.
        IEnumerable<KestruneRequest> Live()
        {
            var live = new List<KestruneRequest>();
            foreach (var entry in requests.ToArray())
            {
                KestruneRequest request;
                if (entry.Value.TryGetTarget(out request))
                    live.Add(request);
                else
                    requests.Remove(entry.Key);
            }
            return live;
        }

        internal void Forget(KestruneRequest request)
        {
            lock (requestsLock)
                requests.Remove(request.Id);
        }

        void ThrowIfDisposed()
        {
            if (!open)
                throw new ObjectDisposedException(nameof(KestruneClient),
                                                  "this KestruneClient is disposed");
        }

        /// <summary>"KestruneClient (open)" or "(disposed)".</summary>
        public override string ToString()
        {
            return "KestruneClient (" + (open ? "open" : "disposed") + ")";
        }

        /// <summary>Submits a request and returns it at once. headers: "Name: value" lines joined
        /// by CR LF (<see cref="HeaderBlock"/> checks and joins pairs); body: up to 1 MiB, not
        /// with GET or HEAD; timeoutMs: the whole request's budget, 0 for the client's default
        /// (else the library's 10 s), else 250 to 120000; weight: the units of its host's budget
        /// it takes (<see cref="KestruneProcess.SetHostBudget(string, int, TimeSpan)"/>), 1 to
        /// 1000000, other than 1 needing 1.2. Throws ArgumentNullException for a null url or
        /// method, ArgumentException for a NUL or a body with GET or HEAD,
        /// ArgumentOutOfRangeException for a number out of range and <see
        /// cref="KestrunePolicyException"/>, naming the rule, for a URL, method or header the
        /// library refuses. With 32 requests held, unreferenced ones are collected (their
        /// finalizers free them) before the library's 1816 is thrown.</summary>
        public KestruneRequest Request(string url, string method = "GET", string headers = null,
                                       byte[] body = null, int timeoutMs = 0, int weight = 1)
        {
            Native.Required(url, nameof(url));
            Native.Required(method, nameof(method));
            Native.Text(headers, nameof(headers));
            int length = Native.InRange(body == null ? 0 : body.LongLength, 0, MaxBodyBytes,
                                        "body.Length");
            if (timeoutMs != 0)
                Native.InRange(timeoutMs, 250, 120000, nameof(timeoutMs));
            else
                timeoutMs = defaultTimeoutMs;
            Native.InRange(weight, 1, 1000000, nameof(weight));
            if (length > 0 && Bodyless.Contains(method, StringComparer.OrdinalIgnoreCase))
                throw new ArgumentException("a " + method + " request carries no body",
                                            nameof(body));
            ThrowIfDisposed();
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
                {
                    var request = new KestruneRequest(id, this);
                    lock (requestsLock)
                    {
                        if (!open)  // disposed meanwhile: the request goes with the client
                        {
                            request.Dispose();
                            ThrowIfDisposed();
                        }
                        Live();  // drops the entries of requests collected meanwhile
                        requests[id] = new WeakReference<KestruneRequest>(request);
                    }
                    return request;
                }
                if (code == (uint)KestruneError.ERROR_ACCESS_DENIED)
                    throw Refusal(url, method, headers, call);
                if (code != (uint)KestruneError.ERROR_NOT_ENOUGH_QUOTA || attempt > 0)
                    throw KestruneException.Of(code, call, false);
                GC.Collect();
                GC.WaitForPendingFinalizers();
            }
        }

        /// <summary>Request with a TimeSpan time-out (250 ms to 120 s).</summary>
        public KestruneRequest Request(string url, string method, string headers, byte[] body,
                                       TimeSpan timeout, int weight = 1)
        {
            return Request(url, method, headers, body,
                           Native.Milliseconds(timeout, 250, 120000, nameof(timeout)), weight);
        }

        /// <summary>The 1.0 signature, kept so that programs built against it run with this
        /// assembly.</summary>
        public KestruneRequest Request(string url, string method, string headers, byte[] body,
                                       int timeoutMs)
        {
            return Request(url, method, headers, body, timeoutMs, 1);
        }

        static readonly string[] RefusedHeaders = {
            "host", "connection", "content-length", "proxy-connection", "transfer-encoding",
            "proxy-authorization" };

        // Which rule a refusal (5) broke, in the order the library checks them.
        static KestrunePolicyException Refusal(string url, string method, string headers,
                                               string call)
        {
            Uri uri;
            if (Uri.TryCreate(url, UriKind.Absolute, out uri))
            {
                if (uri.Scheme != Uri.UriSchemeHttps)
                    return new KestrunePolicyException(KestrunePolicyRule.Scheme, "scheme \""
                        + Native.Escape(uri.Scheme) + "\": only https is requested", call);
                if (uri.Port != 443)
                    return new KestrunePolicyException(KestrunePolicyRule.Port, "port "
                        + uri.Port + ": only 443 is requested", call);
                string authority = url.Substring(url.IndexOf("//", StringComparison.Ordinal) + 2);
                int end = authority.IndexOfAny(new[] { '/', '?', '#' });
                if ((end < 0 ? authority : authority.Substring(0, end)).IndexOf('@') >= 0)
                    return new KestrunePolicyException(KestrunePolicyRule.UserInfo, "a user part "
                        + "(\"user@\") in the URL is refused", call);
                if (KestruneProcess.RefusesHost(uri.Host))
                    return new KestrunePolicyException(KestrunePolicyRule.Host, "host \""
                        + Native.Escape(uri.Host) + "\" is none of the library's exchange hosts",
                        call);
            }
            if (!KestruneProcess.Allows(method))
                return new KestrunePolicyException(KestrunePolicyRule.Method, "method \""
                    + Native.Escape(method) + "\" is not allowed: GET, HEAD and POST, and DELETE,"
                    + " PUT or PATCH after KestruneProcess.AllowMethod", call);
            foreach (string line in (headers ?? "").Split('\n'))
            {
                string name = line.Split(':')[0].Trim();
                if (RefusedHeaders.Contains(name, StringComparer.OrdinalIgnoreCase))
                    return new KestrunePolicyException(KestrunePolicyRule.Header, "header \""
                        + Native.Escape(name) + "\" is set by the library itself", call);
            }
            return new KestrunePolicyException(KestrunePolicyRule.Other,
                                               "refused by the library's policy", call);
        }

        /// <summary>Request with DELETE, which KestruneProcess.AllowMethod must have allowed
        /// (else KestrunePolicyException).</summary>
        public KestruneRequest Delete(string url, string headers = null, byte[] body = null,
                                      int timeoutMs = 0, int weight = 1)
        {
            return Request(url, "DELETE", headers, body, timeoutMs, weight);
        }

        /// <summary>Request with PUT, once allowed.</summary>
        public KestruneRequest Put(string url, string headers = null, byte[] body = null,
                                   int timeoutMs = 0, int weight = 1)
        {
            return Request(url, "PUT", headers, body, timeoutMs, weight);
        }

        /// <summary>Request with PATCH, once allowed.</summary>
        public KestruneRequest Patch(string url, string headers = null, byte[] body = null,
                                     int timeoutMs = 0, int weight = 1)
        {
            return Request(url, "PATCH", headers, body, timeoutMs, weight);
        }

        /// <summary>Header pairs as the block Request takes. Once joined, the library cannot
        /// tell a pair from a line smuggled in a value, so names must be tokens and values free
        /// of CR, LF and NUL (ArgumentException, the text escaped).</summary>
        public static string HeaderBlock(IEnumerable<KeyValuePair<string, string>> pairs)
        {
            if (pairs == null)
                throw new ArgumentNullException(nameof(pairs));
            var lines = new List<string>();
            foreach (var pair in pairs)
            {
                string name = pair.Key ?? "";
                bool token = name.Length > 0;
                foreach (char c in name)
                    token &= c < 128 && (char.IsLetterOrDigit(c)
                                         || TokenPunctuation.IndexOf(c) >= 0);
                if (!token)
                    throw new ArgumentException("header name \"" + Native.Escape(name)
                                                + "\" is not a token", nameof(pairs));
                if (pair.Value == null || pair.Value.IndexOfAny(new[] { '\r', '\n', '\0' }) >= 0)
                    throw new ArgumentException("header " + name + ": the value is null or holds "
                                                + "CR, LF or NUL", nameof(pairs));
                lines.Add(name + ": " + pair.Value);
            }
            return string.Join("\r\n", lines);
        }

        /// <summary>Process-wide, whichever client calls it: <see
        /// cref="KestruneProcess.SetThrottleMs"/>.</summary>
        [Obsolete("process-wide: use KestruneProcess.SetThrottle")]
        public void SetThrottleMs(int throttleMs)
        {
            ThrowIfDisposed();
            KestruneProcess.SetThrottleMs(throttleMs);
        }

        /// <summary>This client's unfinished requests.</summary>
        public int PendingCount
        {
            get
            {
                ThrowIfDisposed();
                lock (requestsLock)
                    return Live().Count(request => !request.IsReady);
            }
        }

        /// <summary>Cancels this client's unfinished requests; how many were.</summary>
        public int CancelAll()
        {
            ThrowIfDisposed();
            KestruneRequest[] own;
            lock (requestsLock)
                own = Live().Where(request => !request.IsReady).ToArray();
            foreach (var request in own)
                Native.Quietly(Native.KSRN_Cancel(request.Id));
            return own.Length;
        }
    }

    /// <summary>One submitted request, freed (KSRN_Free) on Dispose, with its client, or by its
    /// finalizer when it is collected undisposed: an abandoned request would otherwise hold one
    /// of the library's 32 places for good. Its results throw KestruneException 996 before it is
    /// ready; the status and body of a request that failed throw its error; after Dispose, its
    /// calls throw ObjectDisposedException.</summary>
    public sealed class KestruneRequest : IDisposable
    {
        // The answers that may carry a Retry-After worth following.
        static readonly int[] RetryAfterStatuses = { 418, 429, 503 };
        readonly KestruneClient client;
        int held = 1;
        // Why the request is gone (its client closed, or it was disposed): read by its waits.
        Exception closedBy;

        /// <summary>The library's id of the request.</summary>
        public int Id { get; }

        internal KestruneRequest(int id, KestruneClient client)
        {
            Id = id;
            this.client = client;
        }

        /// <summary>Frees a request collected undisposed.</summary>
        ~KestruneRequest()
        {
            if (Interlocked.Exchange(ref held, 0) == 1)
                Native.Quietly(Native.KSRN_Free(Id));
        }

        /// <summary>Frees the request (its waits throw ObjectDisposedException). Never throws:
        /// after the client is gone, or again, there is nothing left to free.</summary>
        public void Dispose()
        {
            Close(new ObjectDisposedException(nameof(KestruneRequest),
                                              "the request was disposed before it finished"));
        }

        internal void Close(Exception reason)
        {
            // Set before held, so that a wait never sees the request gone without the reason.
            Interlocked.CompareExchange(ref closedBy, reason, null);
            if (Interlocked.Exchange(ref held, 0) == 0)
                return;
            Native.Quietly(Native.KSRN_Free(Id));
            GC.SuppressFinalize(this);
            client.Forget(this);
            CompletionWaiter.Fail(this, reason);
        }

        void ThrowIfDisposed()
        {
            if (held == 0)
                throw new ObjectDisposedException(nameof(KestruneRequest),
                                                  "request " + Id + " is disposed");
        }

        /// <summary>"KestruneRequest id", with "(disposed)" once disposed.</summary>
        public override string ToString()
        {
            return "KestruneRequest " + Id + (held == 0 ? " (disposed)" : "");
        }

        /// <summary>Whether the outcome is published.</summary>
        public bool IsReady
        {
            get
            {
                ThrowIfDisposed();
                return Native.Check(Native.KSRN_IsReady(Id), nameof(Native.KSRN_IsReady)) != 0;
            }
        }

        /// <summary>A status 200 to 299 whose whole body arrived.</summary>
        public bool Succeeded
        {
            get
            {
                ThrowIfDisposed();
                return Native.Check(Native.KSRN_Succeeded(Id), nameof(Native.KSRN_Succeeded)) != 0;
            }
        }

        /// <summary>The HTTP status of a request whose response was read to its end; the
        /// request's error (<see cref="Error"/>) when it failed.</summary>
        public int Status
        {
            get
            {
                ThrowIfFailed();
                return Native.Check(Native.KSRN_GetStatusCode(Id),
                                    nameof(Native.KSRN_GetStatusCode));
            }
        }

        /// <summary>Status as an HttpStatusCode.</summary>
        public HttpStatusCode StatusCode
        {
            get { return (HttpStatusCode)Status; }
        }

        /// <summary>Throws <see cref="KestruneHttpException"/> unless the status is 2xx (and the
        /// request's error when it failed); returns the request.</summary>
        public KestruneRequest EnsureSuccessStatusCode()
        {
            int status = Status;
            if (status < 200 || status > 299)
                throw new KestruneHttpException((HttpStatusCode)status);
            return this;
        }

        /// <summary>The outcome (<see cref="KestruneTimeoutException"/>, <see
        /// cref="KestruneCancelledException"/>, ...), or null when the response was read to its
        /// end, whatever its status.</summary>
        public KestruneException Error
        {
            get
            {
                ThrowIfDisposed();
                uint code = Native.Check(Native.KSRN_GetRequestError(Id),
                                         nameof(Native.KSRN_GetRequestError));
                if (code == 0)
                    return null;
                bool reached = !Native.Since11 || Delivery != KestruneDelivery.NOT_SENT;
                var error = KestruneException.Of(code, nameof(Native.KSRN_GetRequestError),
                                                 reached);
                byte[] partial = RawBody();
                error.PartialBody = partial.Length > 0 ? partial : null;
                return error;
            }
        }

        void ThrowIfFailed()
        {
            KestruneException error = Error;
            if (error != null)
                throw error;
        }

        byte[] RawBody()
        {
            var body = new byte[Native.Check(Native.KSRN_GetBodySize(Id),
                                             nameof(Native.KSRN_GetBodySize))];
            Native.Check(Native.KSRN_CopyBody(Id, body, body.Length),
                         nameof(Native.KSRN_CopyBody));
            return body;
        }

        /// <summary>The body of a request whose response was read to its end; the request's
        /// error, with what arrived as its PartialBody, when it failed.</summary>
        public byte[] Body
        {
            get
            {
                ThrowIfFailed();
                return RawBody();
            }
        }

        /// <summary>The body as UTF-8 text (what the exchanges send), as Body throws.</summary>
        public string ReadAsString()
        {
            return Encoding.UTF8.GetString(Body);
        }

        /// <summary>The body text given to a JSON parser of the program's choice.</summary>
        public T ReadAsJson<T>(Func<string, T> parse)
        {
            if (parse == null)
                throw new ArgumentNullException(nameof(parse));
            return parse(ReadAsString());
        }

        /// <summary>The body text given to <see cref="KestruneProcess.JsonDeserializer"/>, which
        /// must be set (InvalidOperationException otherwise).</summary>
        public T ReadAsJson<T>()
        {
            Func<string, Type, object> deserialize = KestruneProcess.JsonDeserializer;
            if (deserialize == null)
                throw new InvalidOperationException("set KestruneProcess.JsonDeserializer to the "
                                                    + "program's JSON parser first");
            return (T)deserialize(ReadAsString(), typeof(T));
        }

        /// <summary>The response's header lines in order, every value of a name, names looked
        /// up case-blind; a value folded onto continuation lines (obs-fold) joined by one space.
        /// The status line is Status.</summary>
        public NameValueCollection Headers
        {
            get
            {
                ThrowIfDisposed();
                var block = new byte[Native.Check(Native.KSRN_GetHeadersSize(Id),
                                                  nameof(Native.KSRN_GetHeadersSize))];
                Native.Check(Native.KSRN_CopyHeaders(Id, block, block.Length),
                             nameof(Native.KSRN_CopyHeaders));
                var fields = new List<KeyValuePair<string, string>>();
                string[] lines = Encoding.UTF8.GetString(block).Split(new[] { "\r\n" },
                                                                      StringSplitOptions.None);
                char[] space = { ' ', '\t' };
                for (int i = 1; i < lines.Length; ++i)
                {
                    string line = lines[i];
                    int colon = line.IndexOf(':');
                    if (line.Length > 0 && Array.IndexOf(space, line[0]) >= 0 && fields.Count > 0)
                    {
                        var last = fields[fields.Count - 1];
                        string more = line.Trim(space);
                        fields[fields.Count - 1] = new KeyValuePair<string, string>(
                            last.Key, last.Value.Length == 0 ? more : last.Value + " " + more);
                    }
                    else if (colon > 0)
                        fields.Add(new KeyValuePair<string, string>(
                            line.Substring(0, colon), line.Substring(colon + 1).Trim(space)));
                }
                var headers = new NameValueCollection(StringComparer.OrdinalIgnoreCase);
                foreach (var field in fields)
                    headers.Add(field.Key, field.Value);
                return headers;
            }
        }

        /// <summary>How far the request got (needs Kestrune 1.1).</summary>
        public KestruneDelivery Delivery
        {
            get
            {
                ThrowIfDisposed();
                Native.Require11(nameof(Native.KSRN_GetDelivery));
                return (KestruneDelivery)Native.Check(Native.KSRN_GetDelivery(Id),
                                                      nameof(Native.KSRN_GetDelivery));
            }
        }

        /// <summary>Whether the request went out on a connection an earlier request had used
        /// (<see cref="KestruneProcess.SetKeepAlive"/>; needs 1.2).</summary>
        public bool Reused
        {
            get
            {
                ThrowIfDisposed();
                string call = nameof(Native.KSRN_GetConnectionReused);
                return Native.Check(Native.Since12(() => Native.KSRN_GetConnectionReused(Id),
                                                   call), call) != 0;
            }
        }

        /// <summary>Seconds from the request's registration to each moment the transfer reached;
        /// moments not reached are absent (needs Kestrune 1.1).</summary>
        public IDictionary<KestruneMark, double> Timings
        {
            get
            {
                ThrowIfDisposed();
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

        /// <summary>The address the request was sent to, "" when no connection was made (needs
        /// 1.1).</summary>
        public string RemoteAddress
        {
            get
            {
                ThrowIfDisposed();
                Native.Require11(nameof(Native.KSRN_CopyRemoteAddress));
                int length = Native.KSRN_CopyRemoteAddress(Id, null, 0);
                uint code = Native.KSRN_GetLastError();
                if (code != 0 && code != (uint)KestruneError.ERROR_INSUFFICIENT_BUFFER)
                    throw KestruneException.Of(code, nameof(Native.KSRN_CopyRemoteAddress), true);
                var buffer = new char[length];
                Native.Check(Native.KSRN_CopyRemoteAddress(Id, buffer, length),
                             nameof(Native.KSRN_CopyRemoteAddress));
                return new string(buffer).TrimEnd('\0');
            }
        }

        /// <summary>What a 429, 418 or 503 answer asks to wait (Retry-After as seconds or a
        /// date); null for other answers, failed requests or without the header. Nothing here
        /// retries by itself.</summary>
        public TimeSpan? RetryAfter
        {
            get
            {
                if (Error != null || Array.IndexOf(RetryAfterStatuses, Status) < 0)
                    return null;
                return ParseRetryAfter(Headers["Retry-After"], DateTimeOffset.UtcNow);
            }
        }

        /// <summary>A Retry-After value: delta-seconds, or an HTTP-date (zero once past); null
        /// when absent or malformed.</summary>
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

        /// <summary>A queued request ends at once with 995, a running one soon after.</summary>
        public void Cancel()
        {
            ThrowIfDisposed();
            Native.Check(Native.KSRN_Cancel(Id), nameof(Native.KSRN_Cancel));
        }

        /// <summary>WaitAsync without a limit of its own.</summary>
        public Task WaitAsync(CancellationToken token = default(CancellationToken))
        {
            return WaitAsync(System.Threading.Timeout.InfiniteTimeSpan, token);
        }

        /// <summary>Ends when the request finishes, woken by the library's completion count
        /// (KSRN_WaitForCompletion) on one thread for all waits, without polling. Faults with the
        /// request's error when its outcome is not 0, with <see
        /// cref="KestruneWaitTimeoutException"/> when timeout passes first (the request goes
        /// on), with <see cref="KestruneClientClosedException"/> when its client is disposed,
        /// and ObjectDisposedException when it is disposed. When the token is cancelled first,
        /// cancels the request in the library and ends as cancelled
        /// (OperationCanceledException).</summary>
        public Task WaitAsync(TimeSpan timeout,
                              CancellationToken token = default(CancellationToken))
        {
            if (timeout != System.Threading.Timeout.InfiniteTimeSpan)
                Native.Milliseconds(timeout, 0, int.MaxValue, nameof(timeout));
            var wait = new TaskCompletionSource<bool>(
                TaskCreationOptions.RunContinuationsAsynchronously);
            if (token.IsCancellationRequested)  // a cancelled wait ends as one
            {
                if (held == 1)
                    Native.Quietly(Native.KSRN_Cancel(Id));
                wait.SetCanceled();
                return wait.Task;
            }
            ThrowIfDisposed();
            CancellationTokenRegistration cancelling = token.Register(() =>
            {
                if (wait.TrySetCanceled() && held == 1)
                    Native.Quietly(Native.KSRN_Cancel(Id));
            });
            Timer limit = timeout == System.Threading.Timeout.InfiniteTimeSpan ? null
                : new Timer(_ => wait.TrySetException(new KestruneWaitTimeoutException(timeout)),
                            null, timeout, System.Threading.Timeout.InfiniteTimeSpan);
            wait.Task.ContinueWith(_ =>
            {
                cancelling.Dispose();
                if (limit != null)
                    limit.Dispose();
                CompletionWaiter.Remove(wait);
            }, TaskContinuationOptions.ExecuteSynchronously);
            CompletionWaiter.Add(wait, this);
            return wait.Task;
        }

        // Ends wait once the request is ready or gone; whether it has ended.
        internal bool TryEnd(TaskCompletionSource<bool> wait)
        {
            if (wait.Task.IsCompleted)
                return true;
            try
            {
                Exception gone = Volatile.Read(ref closedBy);
                if (gone != null)
                    return wait.TrySetException(gone) || true;
                int ready = Native.KSRN_IsReady(Id);
                uint code = Native.KSRN_GetLastError();
                if (code != 0)
                    return wait.TrySetException(Volatile.Read(ref closedBy) ?? KestruneException.Of(
                        code, nameof(Native.KSRN_IsReady), true)) || true;
                if (ready == 0)
                    return false;
                KestruneException error = Error;
                if (error != null)
                    wait.TrySetException(error);
                else
                    wait.TrySetResult(true);
            }
            catch (Exception error)  // freed meanwhile
            {
                wait.TrySetException(Volatile.Read(ref closedBy) ?? error);
            }
            return true;
        }
    }
}
