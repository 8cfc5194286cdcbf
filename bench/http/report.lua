-- Prints wrk's figures as one machine-readable line for bench/http/run.sh.
done = function(summary, latency, requests)
  local errors = summary.errors
  io.write(string.format(
    "RESULT requests=%d duration_us=%d bytes=%d p50_us=%d p99_us=%d connect=%d read=%d write=%d status=%d timeout=%d\n",
    summary.requests, summary.duration, summary.bytes, latency:percentile(50), latency:percentile(99),
    errors.connect, errors.read, errors.write, errors.status, errors.timeout))
end
