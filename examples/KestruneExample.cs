// A .NET host of Kestrune through bindings/dotnet/Kestrune.cs: a host warmed on a kept
// connection, requests to several exchanges at once, awaited together, then a cancel and a wait
// given up.
//
// usage: mono KestruneExample.exe [--live]
//   By default the requests use paths of the simulated exchange of the project's test bench, so
//   run it inside the bench (tests/sandbox/run mono build/linux/bin/KestruneExample.exe);
//   --live asks the real exchanges. The library is found beside the program, or where
//   KESTRUNE_LIBRARY says.
using System;
using System.Linq;
using System.Threading.Tasks;
using Kestrune;

static class KestruneExample
{
    static readonly string[] Simulated = {
        "https://api.binance.com/status/200", "https://api.bybit.com/headers/utf8",
        "https://www.okx.com/status/404", "https://api.kraken.com/delay-headers/300",
    };
    static readonly string[] Live = {
        "https://api.binance.com/api/v3/time", "https://api.bybit.com/v5/market/time",
        "https://www.okx.com/api/v5/public/time", "https://api.kraken.com/0/public/Time",
    };
    const string SimulatedWarm = "https://api.binance.com/status/204";
    const string LiveWarm = "https://api.binance.com/api/v3/ping";
    const string SimulatedSlow = "https://api.huobi.pro/delay-headers/5000";
    const string LiveSlow = "https://api.coinbase.com/v2/time";

    static async Task<int> Run(bool live)
    {
        // Kept connections are a setting of the whole process, as every client shares it.
        var options = new KestruneClientOptions { KeepAlive = TimeSpan.FromSeconds(30),
                                                  Timeout = TimeSpan.FromSeconds(10) };
        using (var client = new KestruneClient(options))
        {
            // A cheap request first, so that the one that matters finds the connection open.
            using (var warm = client.Request(live ? LiveWarm : SimulatedWarm))
            {
                await warm.WaitAsync();
                Console.WriteLine("Warmed {0}: {1}", warm.RemoteAddress, warm.StatusCode);
            }

            Console.WriteLine("Several exchanges at once:");
            var requests = (live ? Live : Simulated).Select(url => client.Request(url)).ToArray();
            try
            {
                await Task.WhenAll(requests.Select(request => request.WaitAsync()));
                foreach (var request in requests)
                    Console.WriteLine("{0,4}  {1,6}  {2}  (X-Greeting: {3}, kept connection: {4})",
                                      request.Id, request.Status, request.ReadAsString(),
                                      request.Headers["x-greeting"] ?? "none", request.Reused);
            }
            finally
            {
                foreach (var request in requests)
                    request.Dispose();
            }

            string slow = live ? LiveSlow : SimulatedSlow;
            using (var request = client.Request(slow))
            {
                request.Cancel();
                try
                {
                    await request.WaitAsync();
                }
                catch (KestruneCancelledException error)
                {
                    Console.WriteLine("Cancelled: {0} {1} from {2}", error.Code, error.Name,
                                      error.Call);
                }
            }
            using (var request = client.Request(slow))
            {
                try
                {
                    await request.WaitAsync(TimeSpan.FromMilliseconds(100));
                    Console.WriteLine("Answered before the wait was given up: {0}", request.Status);
                }
                catch (KestruneWaitTimeoutException)
                {
                    Console.WriteLine("Wait given up after 100 ms; the request goes on until "
                                      + "cancelled:");
                    request.Cancel();
                    try
                    {
                        await request.WaitAsync();
                    }
                    catch (KestruneException error)
                    {
                        Console.WriteLine("  {0} {1}", error.Code, error.Name);
                    }
                }
            }
        }
        return 0;
    }

    static int Main(string[] args)
    {
        try
        {
            return Run(args.Contains("--live")).GetAwaiter().GetResult();
        }
        catch (Exception error)
        {
            Console.Error.WriteLine("failed: " + error);
            return 1;
        }
    }
}
