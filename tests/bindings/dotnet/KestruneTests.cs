// The .NET binding against the built library, inside the bench, under Mono: what it refuses
// itself, allowed methods, host budgets, abandoned requests, shared clients and quiet cleanup,
// cancellation, the time-out exception, Retry-After, and the 1.1 delivery, timings and address
// when the library has them.
// Prints one line per case and exits with the number of failures.
using System;
using System.Collections.Generic;
using System.Linq;
using System.Net;
using System.Runtime.CompilerServices;
using System.Threading;
using System.Threading.Tasks;
using Kestrune;

static class KestruneTests
{
    const string Echo = "https://api.binance.com/echo";
    const string Fast = "https://api.binance.com/status/200";
    const string Slow = "https://api.huobi.pro/delay-headers/5000";
    const string Budgeted = "api.kucoin.com";
    static int failures;

    static void Case(string name, Action body)
    {
        try
        {
            body();
            Console.WriteLine("ok    " + name);
        }
        catch (Exception error)
        {
            ++failures;
            Console.WriteLine("FAIL  " + name + ": " + error);
        }
    }

    static void Expect(bool condition, string what)
    {
        if (!condition)
            throw new Exception("expected " + what);
    }

    static T Throws<T>(Action action) where T : Exception
    {
        try
        {
            action();
        }
        catch (T error)
        {
            return error;
        }
        catch (AggregateException error) when (error.InnerException is T)
        {
            return (T)error.InnerException;
        }
        throw new Exception("expected " + typeof(T).Name);
    }

    static T Throws<T>(Func<object> read) where T : Exception
    {
        return Throws<T>(() => { read(); });
    }

    static int StatusOf(KestruneClient client, string url)
    {
        return StatusOf(client, url, request => request.Status);
    }

    // What read makes of the finished request to url, failed or not.
    static T StatusOf<T>(KestruneClient client, string url, Func<KestruneRequest, T> read)
    {
        using (var request = client.Request(url))
        {
            try { request.WaitAsync().Wait(); } catch (AggregateException) { }
            return read(request);
        }
    }

    static void StatusOf(KestruneClient client, string url, Action<KestruneRequest> check)
    {
        StatusOf(client, url, request => { check(request); return 0; });
    }

    static Tuple<string, Action> Row<T>(string name, Func<object> action) where T : Exception
    {
        return Row<T>(name, () => { action(); });
    }

    static Tuple<string, Action> Row<T>(string name, Action action) where T : Exception
    {
        return Tuple.Create(name, (Action)(() => Throws<T>(action)));
    }

    // On a thread of their own, so that no stale stack slot keeps one alive.
    [MethodImpl(MethodImplOptions.NoInlining)]
    static void Abandon(KestruneClient client, int count)
    {
        var thread = new Thread(() =>
        {
            for (int i = 0; i < count; ++i)
                client.Request(Fast);
        });
        thread.Start();
        thread.Join();
        GC.Collect();
        GC.WaitForPendingFinalizers();
    }

    static int Main()
    {
        var client = new KestruneClient();
        var refused = new Dictionary<string, Action> {
            { "url with NUL", () => client.Request(Echo + "\0/evil") },
            { "header block with NUL", () => client.Request(Echo, "GET", "X-A: 1\0X-B: 2") },
            { "header value with CR LF", () => KestruneClient.HeaderBlock(new Dictionary<string,
                string> { { "X-A", "1\r\nAuthorization: Bearer x" } }) },
            { "header name with a colon", () => KestruneClient.HeaderBlock(new Dictionary<string,
                string> { { "X:A", "1" } }) },
            { "header name with a space", () => KestruneClient.HeaderBlock(new Dictionary<string,
                string> { { "X A", "1" } }) },
            { "allowed method null", () => KestruneProcess.AllowMethod(null) },
            { "allowed method with NUL", () => KestruneProcess.AllowMethod("PUT\0") },
            { "allowed methods null", () => new KestruneClient((string[])null) },
            { "an allowed method null", () => new KestruneClient("DELETE", null) },
            { "budget host null", () => KestruneProcess.SetHostBudget(null, 5, 1000) },
            { "budget host with NUL",
              () => KestruneProcess.SetHostBudget(Budgeted + "\0", 5, 1000) },
            { "hold host null", () => KestruneProcess.HostHoldTime(null) },
            { "units host with NUL", () => KestruneProcess.HostUnitsLeft(Budgeted + "\0") },
            { "shared table name null", () => KestruneProcess.ShareBudgets(null) },
            { "shared table name with NUL", () => KestruneProcess.ShareBudgets("desk\0") },
        };
        foreach (var row in refused)
            Case("refused before any call: " + row.Key, () =>
            {
                Throws<ArgumentException>(row.Value);
                Expect(client.PendingCount == 0, "no request submitted");
            });

        Case("joined header pairs reach the server as they are", () =>
        {
            string block = KestruneClient.HeaderBlock(new Dictionary<string, string> {
                { "X-Probe", "one" }, { "X-Other", "two" } });
            using (var request = client.Request(Echo, "GET", block))
            {
                request.WaitAsync().Wait();
                string echoed = System.Text.Encoding.ASCII.GetString(request.Body);
                Expect(echoed.Contains("\r\nX-Probe: one\r\nX-Other: two\r\n"), "the pairs");
            }
        });

        Case("allowed methods reach the server, others throw", () =>
        {
            using (var allowing = new KestruneClient("delete"))  // the engine of client
            {
                Expect(Throws<KestruneException>(() => allowing.Put(Echo)).Code == 5, "5 for PUT");
                Expect(Throws<KestruneException>(() => KestruneProcess.AllowMethod("OPTIONS"))
                       .Code == 87, "87 for OPTIONS");
                using (var request = allowing.Delete(Echo, null, new byte[] { 7 }))
                {
                    request.WaitAsync().Wait();
                    string echoed = System.Text.Encoding.ASCII.GetString(request.Body);
                    Expect(echoed.StartsWith("DELETE /echo HTTP/1.1\r\n")
                           && echoed.EndsWith("\r\n\r\n\u0007"), "DELETE with its body");
                }
            }
        });

        Case("a budget refuses heavier requests and holds its host after a Retry-After", () =>
        {
            string url = "https://" + Budgeted;
            KestruneProcess.SetHostBudget(Budgeted.ToUpperInvariant(), 10, TimeSpan.FromMinutes(1));
            Expect(KestruneProcess.HostUnitsLeft(Budgeted) == 10, "10 units left");
            var heavy = Throws<KestruneException>(() => client.Request(url + "/bytes/1",
                                                                       weight: 11));
            Expect(heavy.Code == 87 && heavy.Call == "KSRN_RequestWeighted"
                   && !heavy.MayHaveReachedServer, "87 above the budget, not sent");
            using (var request = client.Request(url + "/retry-after/429/5", weight: 3))
            {
                request.WaitAsync().Wait();
                Expect(request.Status == 429, "429");
            }
            double heldS = KestruneProcess.HostHoldTime(Budgeted).TotalSeconds;
            Expect(heldS > 1 && heldS <= 5, "held up to 5 s, got " + heldS);
            Expect(KestruneProcess.HostUnitsLeft(Budgeted) == 0, "no units while held");
            using (var request = client.Request(url + "/bytes/1", timeoutMs: 1000))
            {
                var held = Throws<KestruneException>(() => request.WaitAsync().Wait());
                Expect(held.Code == 1237 && held.Name == "ERROR_RETRY" && held.Transient
                       && !held.MayHaveReachedServer, "1237, transient, not sent");
            }
            KestruneProcess.SetHostBudget(Budgeted, 0, 0);  // removes the budget and the hold
            Expect(KestruneProcess.HostUnitsLeft(Budgeted) == null
                   && KestruneProcess.HostHoldTime(Budgeted) == TimeSpan.Zero,
                   "no budget, no hold");
            Expect(Throws<KestruneException>(() => KestruneProcess.ShareBudgets("a/b")).Code == 87,
                   "87 for a/b");
        });

        Case("abandoned requests are freed by their finalizers", () =>
        {
            Abandon(client, 40);  // more than the 32 the library holds
            Expect(StatusOf(client, Fast) == 200, "a request after 40 abandoned");
        });

        Case("a second client's Dispose keeps the engine of the first", () =>
        {
            using (new KestruneClient())
            {
            }
            Expect(StatusOf(client, Fast) == 200, "the first client still works");
        });

        Case("a cancelled wait on a disposed request throws OperationCanceledException", () =>
        {
            var request = client.Request(Slow);
            request.Dispose();
            Throws<OperationCanceledException>(() =>
                request.WaitAsync(new CancellationToken(true)).Wait());
        });

        Case("a time-out is a KestruneTimeoutException and transient", () =>
        {
            using (var request = client.Request(Slow, timeoutMs: 250))
            {
                var error = Throws<KestruneTimeoutException>(() => request.WaitAsync().Wait());
                var reported = (IKestruneError)error;
                Expect(reported.Code == 12002 && reported.Transient
                       && reported.MayHaveReachedServer, "12002, transient, may have reached");
            }
        });

        Case("a refused submission never reached the server", () =>
        {
            var error = Throws<KestruneException>(() => client.Request("https://example.com/"));
            Expect(error.Code == 5 && !error.Transient && !error.MayHaveReachedServer,
                   "5, not transient, not sent");
        });

        var now = new DateTimeOffset(2015, 10, 21, 7, 28, 0, TimeSpan.Zero);
        var retryAfter = new Dictionary<string, double?> {  // both forms also come from the bench
            { " 7 ", 7 }, { "Wed, 21 Oct 2015 07:27:00 GMT", 0 }, { "1.5", null },
            { "soon", null }, { "-3", null }, { "", null } };
        foreach (var row in retryAfter)
            Case("Retry-After \"" + row.Key + "\"", () =>
            {
                TimeSpan? parsed = KestruneRequest.ParseRetryAfter(row.Key, now);
                Expect((parsed.HasValue ? parsed.Value.TotalSeconds : (double?)null) == row.Value,
                       row.Value + ", got " + parsed);
            });

        var answers = new Dictionary<string, double?> {  // only those that ask for patience
            { "429/120", 120 }, { "418/7", 7 }, { "503/date/60", 60 }, { "200/5", null } };
        foreach (var row in answers)
            Case("RetryAfter of /retry-after/" + row.Key, () =>
            {
                using (var request = client.Request("https://api.binance.com/retry-after/"
                                                    + row.Key))
                {
                    request.WaitAsync().Wait();
                    TimeSpan? wait = request.RetryAfter;
                    Expect(wait.HasValue == row.Value.HasValue && (!wait.HasValue
                           || Math.Abs(wait.Value.TotalSeconds - row.Value.Value) <= 3),
                           row.Value + " s, got " + wait);
                }
            });

        if (!Native.Since11)
            Console.WriteLine("skip  delivery, timings, address: the library predates 1.1");
        else
        {
            var cases = new[] {  // url, time-out, delivery, code, connected
                Tuple.Create(Fast, 0, KestruneDelivery.ANSWERED, 0u, true),
                Tuple.Create("https://api.bithumb.com/status/200", 0, KestruneDelivery.NOT_SENT,
                             12029u, false),
                Tuple.Create(Slow, 250, KestruneDelivery.UNKNOWN, 12002u, true),
            };
            foreach (var row in cases)
                Case("delivery, timings and address of " + row.Item1, () =>
                {
                    using (var request = client.Request(row.Item1, timeoutMs: row.Item2))
                    {
                        try { request.WaitAsync().Wait(); } catch (AggregateException) { }
                        var error = request.Error;
                        Expect(request.Delivery == row.Item3, row.Item3.ToString());
                        Expect((error == null ? 0 : error.Code) == row.Item4, "code " + row.Item4);
                        Expect(error == null || error.MayHaveReachedServer
                               == (row.Item3 != KestruneDelivery.NOT_SENT), "may have reached");
                        var timings = request.Timings;
                        Expect(timings.ContainsKey(KestruneMark.STARTED)
                               && timings.ContainsKey(KestruneMark.DONE), "started and done");
                        Expect(timings.ContainsKey(KestruneMark.FIRST_BYTE) == (row.Item4 == 0),
                               "a first byte only when answered");
                        Expect(timings.Values.SequenceEqual(timings.Values.OrderBy(s => s)),
                               "marks in order");
                        Expect((request.RemoteAddress.Length > 0) == row.Item5, "the address");
                    }
                });
        }

        var closed = new KestruneClient();
        closed.Dispose();
        var disposed = client.Request(Fast);
        disposed.Dispose();
        var wrong = new[] {  // what a host can get wrong, refused by the binding itself
            Row<ArgumentNullException>("null url", () => client.Request(null)),
            Row<ArgumentNullException>("null method", () => client.Request(Fast, null)),
            Row<ArgumentNullException>("null header pairs", () => KestruneClient.HeaderBlock(null)),
            Row<ArgumentNullException>("null options",
                                       () => new KestruneClient((KestruneClientOptions)null)),
            Row<ArgumentOutOfRangeException>("negative time-out",
                                             () => client.Request(Fast, timeoutMs: -1)),
            Row<ArgumentOutOfRangeException>("huge time-out", () => client.Request(
                Fast, "GET", null, null, TimeSpan.MaxValue)),
            Row<ArgumentOutOfRangeException>("weight 0", () => client.Request(Fast, weight: 0)),
            Row<ArgumentException>("body with GET", () => client.Request(Fast, "get", null,
                                                                        new byte[1])),
            Row<ArgumentOutOfRangeException>("body over 1 MiB",
                                             () => client.Request(Echo, "POST", null,
                                                                  new byte[(1 << 20) + 1])),
            Row<ArgumentOutOfRangeException>("negative keep-alive",
                                             () => KestruneProcess.SetKeepAliveMs(-1)),
            Row<ArgumentOutOfRangeException>("throttle of a day", () => KestruneProcess
                .SetThrottle(TimeSpan.FromDays(1))),
            Row<ArgumentOutOfRangeException>("negative wait", () => client.Request(Fast)
                .WaitAsync(TimeSpan.FromMilliseconds(-5))),
            Row<ObjectDisposedException>("request on a disposed client",
                                         () => closed.Request(Fast)),
            Row<ObjectDisposedException>("status of a disposed request", () => disposed.Status),
            Row<InvalidOperationException>("JSON without a deserializer",
                                           () => StatusOf(client, Fast, r => r.ReadAsJson<int>())),
        };
        foreach (var row in wrong)
            Case("refused by the binding: " + row.Item1, () => row.Item2());
        Case("a CR in a header name is escaped in the message", () =>
        {
            var error = Throws<ArgumentException>(() => KestruneClient.HeaderBlock(
                new Dictionary<string, string> { { "X\rA", "1" } }));
            Expect(error.Message.Contains("X\\u000dA"), "escaped, got " + error.Message);
        });

        var policy = new[] {  // url, method, headers, the rule broken, what the message names
            Tuple.Create("http://api.binance.com/status/200", "GET", "", KestrunePolicyRule.Scheme,
                         "http"),
            Tuple.Create("https://api.binance.com:8443/", "GET", "", KestrunePolicyRule.Port,
                         "8443"),
            Tuple.Create("https://example.com/", "GET", "", KestrunePolicyRule.Host,
                         "example.com"),
            Tuple.Create("https://@api.binance.com/", "GET", "", KestrunePolicyRule.UserInfo,
                         "user"),
            Tuple.Create(Fast, "PATCH", "", KestrunePolicyRule.Method, "PATCH"),
            Tuple.Create(Fast, "GET", "X-A: 1\r\nHost: evil", KestrunePolicyRule.Header, "Host"),
        };
        foreach (var row in policy)
            Case("refusal names its rule: " + row.Item4, () =>
            {
                var error = Throws<KestrunePolicyException>(
                    () => client.Request(row.Item1, row.Item2, row.Item3));
                Expect(error.Rule == row.Item4 && error.Code == 5 && !error.MayHaveReachedServer
                       && error.Message.Contains(row.Item5), row.Item4 + ", got " + error.Message);
            });

        var reads = new[] {  // what a finished request reads like
            Tuple.Create("a body over the limit throws 223 with the part that came",
                         "https://api.binance.com/bytes/4194305", (Action<KestruneRequest>)(r =>
                {
                    var error = Throws<KestruneException>(() => r.Body);
                    Expect(error.Code == 223 && error.PartialBody != null
                           && Throws<KestruneException>(() => r.Status).Code == 223, "223");
                })),
            Tuple.Create("EnsureSuccessStatusCode throws for a 404",
                         "https://www.okx.com/status/404", (Action<KestruneRequest>)(r =>
                {
                    Expect(r.StatusCode == HttpStatusCode.NotFound, "404");
                    Expect(Throws<KestruneHttpException>(() => r.EnsureSuccessStatusCode())
                           .StatusCode == HttpStatusCode.NotFound, "KestruneHttpException");
                })),
            Tuple.Create("a folded header is unfolded to one space",
                         "https://api.binance.com/fault/head/obs-fold",
                         (Action<KestruneRequest>)(r => Expect(r.Headers["x-folded"] == "a b",
                                                               "a b, not a lost line"))),
            Tuple.Create("a body reads as text", Fast, (Action<KestruneRequest>)(r =>
                Expect(r.EnsureSuccessStatusCode().ReadAsString() == "status 200"
                       && r.ReadAsJson(text => text.Length) == 10, "status 200"))),
        };
        foreach (var row in reads)
            Case(row.Item1, () => StatusOf(client, row.Item2, row.Item3));

        Case("a wait ends while the thread pool is busy: no timer polls for it", () =>
        {
            int workers, ports;
            ThreadPool.GetMaxThreads(out workers, out ports);
            ThreadPool.SetMaxThreads(Environment.ProcessorCount, ports);
            using (var busy = new ManualResetEventSlim())
            using (var request = client.Request("https://api.kraken.com/delay-headers/300"))
            {
                for (int i = 0; i < Environment.ProcessorCount; ++i)
                    ThreadPool.QueueUserWorkItem(_ => busy.Wait());
                bool ended = request.WaitAsync().Wait(TimeSpan.FromSeconds(30));
                busy.Set();
                ThreadPool.SetMaxThreads(workers, ports);
                Expect(ended, "the wait to end without a pool thread");
            }
        });

        var kinds = new[] {  // url, time-out, what to do, the kind thrown
            Tuple.Create("https://api.bithumb.com/status/200", 0, "wait",
                         typeof(KestruneConnectionException)),
            Tuple.Create("https://api.toobit.com/status/200", 0, "wait",
                         typeof(KestruneTlsException)),
            Tuple.Create(Slow, 250, "wait", typeof(KestruneTimeoutException)),
            Tuple.Create(Slow, 0, "wait 300 ms", typeof(KestruneWaitTimeoutException)),
            Tuple.Create(Slow, 0, "cancel", typeof(KestruneCancelledException)),
            Tuple.Create(Slow, 0, "close the client", typeof(KestruneClientClosedException)),
            Tuple.Create(Slow, 0, "dispose", typeof(ObjectDisposedException)),
        };
        foreach (var row in kinds)
            Case(row.Item4.Name + " when " + row.Item3 + ": " + row.Item1, () =>
            {
                var own = new KestruneClient();
                var request = own.Request(row.Item1, timeoutMs: row.Item2);
                Task wait = request.WaitAsync(row.Item3 == "wait 300 ms"
                    ? TimeSpan.FromMilliseconds(300) : Timeout.InfiniteTimeSpan);
                if (row.Item3 == "cancel")
                    request.Cancel();
                if (row.Item3 == "close the client")
                    own.Dispose();
                if (row.Item3 == "dispose")
                    request.Dispose();
                var error = Throws<Exception>(() => wait.GetAwaiter().GetResult());
                Expect(error.GetType() == row.Item4, row.Item4.Name + ", got " + error);
                Expect(error is KestruneException || row.Item3 == "dispose", "a KestruneException");
                if (row.Item3 == "wait 300 ms")
                    Expect(!request.IsReady, "the request to go on");
                Expect(StatusOf(client, Fast) == 200, "the other client to go on");
                own.Dispose();
            });

        foreach (string path in new[] { "/keep/status/200", "/keep/close/status/200" })
            Case("a kept connection is reused unless the server closes it: " + path, () =>
            {
                string url = "https://api.binance.com" + path;
                using (var kept = new KestruneClient(new KestruneClientOptions {
                    KeepAlive = TimeSpan.FromSeconds(30) }))
                {
                    bool closes = StatusOf(kept, url, r => r.Headers["Connection"] == "close");
                    Expect(StatusOf(kept, url, r => r.Reused) == !closes, "reused: " + !closes);
                    KestruneProcess.SetKeepAlive(TimeSpan.Zero);
                }
            });

        Case("cleanup after the engine is gone is quiet", () =>
        {
            var request = client.Request(Slow);
            client.Dispose();
            request.Dispose();
            client.Dispose();
        });

        Console.WriteLine(failures == 0 ? "all passed" : failures + " failed");
        return failures;
    }
}
