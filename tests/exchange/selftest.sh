#!/usr/bin/env bash
# Quick check of the hermetic bench from the outside, with curl and the system trust store:
# TLS to the good hosts, each documented behaviour of the simulated exchange, the four bad
# hosts, and nginx when the bench runs it. Outside the bench it reruns itself inside it (with
# nginx). Prints "N passed, M failed" last; exits non-zero on any failure.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)
if [ "${KSRN_BENCH:-}" != 1 ]; then
  exec "$here/../sandbox/run" --with-nginx "$here/selftest.sh" "$@"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
good=https://api.binance.com

check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAIL %s: expected [%s], got [%s]\n' "$1" "$2" "$3"
  fi
}

# fetch ARGS...: curl into $work/head and $work/body; sets rc, code, downloaded (body bytes),
# head_bytes, version (HTTP), first_byte_s and total_s.
fetch() {
  local out
  out=$(curl -sS --max-time 20 -D "$work/head" -o "$work/body" \
    -w '%{http_code} %{size_download} %{size_header} %{http_version} %{time_starttransfer} %{time_total}' \
    "$@" 2>"$work/err")
  rc=$?
  read -r code downloaded head_bytes version first_byte_s total_s <<<"$out"
}

at_least() {  # at_least SECONDS MINIMUM
  python3 -c "import sys; print('yes' if float(sys.argv[1]) >= float(sys.argv[2]) else 'no')" "$1" "$2"
}

header() {  # header NAME: its value in the last response head, CR removed
  grep -i "^$1:" "$work/head" | head -n 1 | cut -d: -f2- | sed 's/^ //' | tr -d '\r'
}

pattern() {  # pattern N FILE
  python3 -c 'import sys
sys.stdout.buffer.write(bytes((i * 7 + 3) % 251 for i in range(int(sys.argv[1]))))' "$1" >"$2"
}

same_file() {
  cmp -s "$1" "$2" && echo same || echo different
}

pattern 1000000 "$work/p1000000"
pattern 100000 "$work/p100000"
pattern 1000 "$work/p1000"
pattern 10 "$work/p10"

# --- the bench itself ---
check "KSRN_BENCH_CA is a certificate" yes \
  "$(openssl x509 -in "${KSRN_BENCH_CA:-/missing}" -noout >/dev/null 2>&1 && echo yes)"
check "test CA in the system bundle" yes \
  "$(grep -qF "$(sed -n 2p "$KSRN_BENCH_CA")" /etc/ssl/certs/ca-certificates.crt && echo yes)"
good_hosts=$(awk -v me="$HOSTNAME" '$1 == "127.0.0.1" && $2 != "localhost" && $2 != me { print $2 }' /etc/hosts)
check "good hosts in the hosts file" 17 "$(wc -w <<<"$good_hosts")"
for host in $good_hosts; do
  fetch "https://$host/status/200"
  check "good host $host" "0 200 status 200" "$rc $code $(cat "$work/body")"
done
check "name outside the bench does not resolve" "" "$(getent hosts example.com)"

# --- TLS and protocol ---
for tls in 1.2 1.3; do
  fetch -v --tlsv"$tls" --tls-max "$tls" "$good/status/200"
  check "TLS $tls" "0 200 1.1 yes" \
    "$rc $code $version $(grep -q "SSL connection using TLSv$tls" "$work/err" && echo yes)"
done

# --- paths ---
fetch "$good/status/503"
check "/status/503" "503 status 503 text/plain 10" \
  "$code $(cat "$work/body") $(header Content-Type) $(header Content-Length)"
fetch "$good/retry-after/429/120"
check "/retry-after seconds" "429 120" "$code $(header Retry-After)"
fetch "$good/retry-after/503/date/60"
check "/retry-after date" "503 GMT" "$code $(header Retry-After | grep -o 'GMT$')"
fetch "$good/status/204"
check "/status/204 has no body" "204 0 -" "$code $(wc -c <"$work/body") -$(header Content-Length)"
fetch "$good/bytes/0"
check "/bytes/0" "200 0 0" "$code $(header Content-Length) $(wc -c <"$work/body")"
fetch "$good/bytes/1000000"
check "/bytes/1000000" "200 1000000 same" "$code $(header Content-Length) $(same_file "$work/body" "$work/p1000000")"
fetch "$good/bytes/100000?chunked=1"
check "/bytes chunked" "200 chunked - same" \
  "$code $(header Transfer-Encoding) -$(header Content-Length) $(same_file "$work/body" "$work/p100000")"
for coding in gzip deflate; do
  fetch --compressed -H "Accept-Encoding: $coding" "$good/$coding/100000"
  check "/$coding compressed" "200 $coding same" \
    "$code $(header Content-Encoding) $(same_file "$work/body" "$work/p100000")"
  size=$(header Content-Length)
  check "/$coding compressed smaller" yes "$([ "${size:-100000}" -lt 100000 ] && echo yes)"
  fetch -H "Accept-Encoding: identity, $coding;q=0" "$good/$coding/100000"
  check "/$coding not accepted" "200 - 100000 same" \
    "$code -$(header Content-Encoding) $(header Content-Length) $(same_file "$work/body" "$work/p100000")"
done
fetch "$good/delay-headers/300"
check "/delay-headers/300" "200 late yes" "$code $(cat "$work/body") $(at_least "$first_byte_s" 0.3)"
fetch "$good/slow-body/10/4/200"
check "/slow-body/10/4/200" "200 10 same yes" \
  "$code $(header Content-Length) $(same_file "$work/body" "$work/p10") $(at_least "$total_s" 0.4)"
for size in 200 5000 300000; do
  fetch "$good/headers/large/$size"
  check "/headers/large/$size" "200 $size ok" "$code $head_bytes $(cat "$work/body")"
done
fetch "$good/headers/large/199"
check "/headers/large/199 is refused" "400 bad request" "$code $(cat "$work/body")"
fetch "$good/headers/utf8"
check "/headers/utf8" "Grüße € ok" "$(header X-Greeting) $(cat "$work/body")"
fetch "$good/redirect/307"
check "/redirect/307" "307 /bytes/10 moved" "$code $(header Location) $(cat "$work/body")"
fetch "$good/reset-mid-body/1000"
check "/reset-mid-body/1000" "56 2000 same" "$rc $(header Content-Length) $(same_file "$work/body" "$work/p1000")"
fetch "$good/close-early/1000"
check "/close-early/1000" "18 2000 same" "$rc $(header Content-Length) $(same_file "$work/body" "$work/p1000")"
fetch "$good/fault/reset/body"
check "/fault/reset/body" "56 1000 500" "$rc $(header Content-Length) $downloaded"
fetch "$good/fault/status/not-http"
check "/fault/status/not-http" 1 "$rc"
fetch "$good/fault/continue/3"
check "/fault/continue/3" "200 ok" "$code $(cat "$work/body")"
fetch "https://api.upbit.com/fault/tls/stall"
fetch --max-time 1 "https://api.upbit.com/bytes/1"
check "/fault/tls/stall" "28 yes" "$rc $(at_least "$total_s" 0.9)"
fetch "https://api.upbit.com/bytes/1"
check "/fault/tls/stall arms one handshake" 200 "$code"
fetch "$good/nowhere"
check "unknown path" "404 not found" "$code $(cat "$work/body")"
fetch "$good/bytes/2000000000"
check "size out of range" "400 bad request" "$code $(cat "$work/body")"
fetch -I "$good/bytes/77"
check "HEAD /bytes/77" "200 0 77" "$code $downloaded $(header Content-Length)"

printf 'POST /echo HTTP/1.1\r\nHost: api.binance.com\r\nUser-Agent: curl/7.88.1\r\nAccept: */*\r\nX-Test: 1\r\nContent-Length: 5\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\nhello' >"$work/expected"
fetch -H 'X-Test: 1' -d hello "$good/echo"
check "/echo POST" "200 application/octet-stream same" \
  "$code $(header Content-Type) $(same_file "$work/body" "$work/expected")"
fetch -H 'Transfer-Encoding: chunked' -d hello "$good/echo"
check "/echo chunked body" "200 yes" \
  "$code $(tail -c 15 "$work/body" | cmp -s - <(printf '5\r\nhello\r\n0\r\n\r\n') && echo yes)"
fetch -I "$good/echo"
check "HEAD /echo" "200 0 yes" "$code $downloaded $([ "$(header Content-Length)" -gt 20 ] && echo yes)"
head -c 3000000 /dev/zero >"$work/3MiB"
fetch --data-binary "@$work/3MiB" "$good/echo"
check "body over 2 MiB is refused" "0 400" "$rc $code"

# Kept connections: curl reuses a connection between the URLs of one run when it may.
kept=$(curl -sS --max-time 20 -D "$work/head" -o /dev/null -o /dev/null -o /dev/null \
  -w '%{http_code}:%{num_connects} ' "$good/keep/status/200" "$good/keep/close/bytes/10" \
  "$good/status/200")
check "/keep, /keep/close" "200:1 200:0 200:1 1" \
  "$kept$(grep -i '^X-Connection:' "$work/head" | tr -d '\r' | sort -u | wc -l)"
kept=$(curl -sS --max-time 20 -o /dev/null -o /dev/null -w '%{http_code}:%{num_connects} ' \
  "$good/keep/drop-next/selftest/status/200" "$good/limited/selftest/100/600000")
fetch "$good/seen/selftest"
check "/keep/drop-next: the GET is sent again" "200:1 200:1 2" "$kept$(cat "$work/body")"

# Raw requests curl will not send, and survival after abuse.
raw=$(python3 - <<'PYTHON'
import socket, ssl

def exchange(payload, tls=True):
    sock = socket.create_connection(("api.binance.com", 443), timeout=10)
    try:
        if tls:
            sock = ssl.create_default_context().wrap_socket(sock, server_hostname="api.binance.com")
        sock.sendall(payload)
        answer = b""
        while chunk := sock.recv(65536):
            answer += chunk
        return answer.split(b"\r\n", 1)[0].decode() or "closed"
    except OSError as error:
        return type(error).__name__
    finally:
        sock.close()

print(exchange(b"GET /echo HTTP/1.1\r\nX-Big: " + b"a" * 300_000 + b"\r\n\r\n"))
print(exchange(b"NONSENSE\r\n\r\n"))
print(exchange(b"GET / HTTP/1.1\r\n\r\n", tls=False))
print(exchange(b"GET /status/200 HTTP/1.1\r\nHost: api.binance.com\r\n\r\n"))
PYTHON
)
check "raw requests" "HTTP/1.1 400 Bad Request|HTTP/1.1 400 Bad Request|closed|HTTP/1.1 200 OK" \
  "$(tr '\n' '|' <<<"$raw" | sed 's/|$//')"

# Concurrency: twenty transfers at once.
for i in $(seq 20); do
  curl -sS --max-time 20 -o "$work/parallel.$i" "$good/bytes/100000" &
done
wait
ok=0
for i in $(seq 20); do
  cmp -s "$work/parallel.$i" "$work/p100000" && ok=$((ok + 1))
done
check "20 concurrent transfers" 20 "$ok"

# --- bad hosts ---
fetch https://api.toobit.com/status/200
check "untrusted CA" "60 yes" "$rc $(grep -q 'unable to get local issuer certificate' "$work/err" && echo yes)"
fetch https://api.lbkex.com/status/200
check "wrong name" "60 yes" "$rc $(grep -q 'no alternative certificate subject name' "$work/err" && echo yes)"
fetch https://sapi.xt.com/status/200
check "expired" "60 yes" "$rc $(grep -q 'certificate has expired' "$work/err" && echo yes)"
fetch https://api.bithumb.com/status/200
check "refused" 7 "$rc"

# --- nginx ---
if [ -n "${KSRN_BENCH_NGINX_PORT:-}" ]; then
  pattern 256 "$work/p256"
  pattern 65536 "$work/p65536"
  fetch "$good:$KSRN_BENCH_NGINX_PORT/small"
  check "nginx /small" "200 256 1.1 same" "$code $(header Content-Length) $version $(same_file "$work/body" "$work/p256")"
  fetch "$good:$KSRN_BENCH_NGINX_PORT/bytes/65536"
  check "nginx /bytes/65536" "200 same" "$code $(same_file "$work/body" "$work/p65536")"
  fetch "https://api.bithumb.com:$KSRN_BENCH_NGINX_PORT/small"
  check "nginx is only on 127.0.0.1" 7 "$rc"
else
  echo "nginx not started (tests/sandbox/run --with-nginx): nginx checks skipped"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
