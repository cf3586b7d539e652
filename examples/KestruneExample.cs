// A .NET host of Kestrune through bindings/dotnet/Kestrune.cs: requests to several exchanges at
// once, awaited together, then a cancel and a cancelled wait.
//
// usage: mono KestruneExample.exe [--live]
//   By default the requests use paths of the simulated exchange of the project's test bench, so
//   run it inside the bench (tests/sandbox/run mono build/linux/bin/KestruneExample.exe);
//   --live asks the real exchanges. The library is found beside the program.
using System;
using System.Linq;
using System.Text;
using System.Threading;
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
    const string SimulatedSlow = "https://api.huobi.pro/delay-headers/5000";
    const string LiveSlow = "https://api.coinbase.com/v2/time";

    static async Task<int> Run(bool live)
    {
        using (var client = new KestruneClient())
        {
            Console.WriteLine("Several exchanges at once:");
            var requests = (live ? Live : Simulated).Select(url => client.Request(url)).ToArray();
            try
            {
                await Task.WhenAll(requests.Select(request => request.WaitAsync()));
                foreach (var request in requests)
                    Console.WriteLine("{0,4}  {1,6}  {2}  (X-Greeting: {3})", request.Id,
                                      request.Status, Encoding.UTF8.GetString(request.Body),
                                      request.Headers["x-greeting"] ?? "none");
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
                catch (KestruneException error)
                {
                    Console.WriteLine("Cancelled: {0} {1} from {2}", error.Code, error.Name,
                                      error.Call);
                }
            }
            using (var request = client.Request(slow))
            using (var timeLimit = new CancellationTokenSource(100))
            {
                try
                {
                    await request.WaitAsync(timeLimit.Token);
                    Console.WriteLine("Answered before the wait was given up: {0}", request.Status);
                }
                catch (OperationCanceledException)
                {
                    Console.WriteLine("Wait given up after 100 ms; the request was cancelled too:");
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
