# Summarizes the raw results of bench/run for one mode (-v mode=NAME).
# Input lines: MODE ROUND SCENARIO PATH key=value ..., plus "MODE idle A ..."
# and "MODE peak_kib A KIB".

function field(name,    i, pair) {
  for (i = 5; i <= NF; i++) {
    split($i, pair, "=")
    if (pair[1] == name) return pair[2] + 0
  }
  return -1
}

function add(key, value) {
  count[key]++
  values[key, count[key]] = value
}

# Median, and the spread (max - min) / median, of the values under key.
function stats(key,    n, i, j, v, sorted) {
  n = count[key]
  for (i = 1; i <= n; i++) sorted[i] = values[key, i]
  for (i = 2; i <= n; i++) {
    v = sorted[i]
    for (j = i - 1; j >= 1 && sorted[j] > v; j--) sorted[j + 1] = sorted[j]
    sorted[j + 1] = v
  }
  median = (n % 2) ? sorted[(n + 1) / 2] : (sorted[n / 2] + sorted[n / 2 + 1]) / 2
  spread = median > 0 ? (sorted[n] - sorted[1]) / median * 100 : 0
}

function cell(key) {
  if (!(key in count)) return sprintf("%18s", "-")
  stats(key)
  return sprintf("%11s ±%3.0f%%", fmt(median), spread)
}

function fmt(v) { return v >= 100 ? sprintf("%.0f", v) : sprintf("%.2f", v) }

function median_of(key) {
  if (!(key in count)) return -1
  stats(key)
  return median
}

# Ratio of the first path to the second: throughput first/second, latency
# second/first, so 1.00 or more means the first is at least as good.
function ratio(scenario, metric, first, second,    a, b) {
  a = median_of(scenario SUBSEP first SUBSEP metric)
  b = median_of(scenario SUBSEP second SUBSEP metric)
  if (a <= 0 || b <= 0) return sprintf("%7s", "-")
  return sprintf("%7.2f", metric ~ /_us$/ ? b / a : a / b)
}

function row(scenario, label, metric) {
  printf "%-12s %-7s %s %s %s %s %s %s\n", (metric == first_metric[scenario] ? scenario : ""), label,
    cell(scenario SUBSEP "A" SUBSEP metric), cell(scenario SUBSEP "B" SUBSEP metric),
    cell(scenario SUBSEP "C" SUBSEP metric), ratio(scenario, metric, "A", "B"),
    ratio(scenario, metric, "A", "C"), ratio(scenario, metric, "B", "C")
}

$1 != mode { next }

$2 == "idle" { idle_cpu = field("cpu_s"); next }
$2 == "peak_kib" { peak_kib = $4; next }

{
  scenario = $3
  path = $4
  rounds[$2] = 1
  seen[scenario] = 1
  if (scenario ~ /^bulk/) {
    add(scenario SUBSEP path SUBSEP "mbps", field("mbps"))
    if (field("cpu_s") >= 0) add(scenario SUBSEP path SUBSEP "cpu", field("cpu_s") * 1000 / (field("bytes") / 1e6))
  } else {
    add(scenario SUBSEP path SUBSEP "tps", field("tps"))
    add(scenario SUBSEP path SUBSEP "p50_us", field("p50_us"))
    add(scenario SUBSEP path SUBSEP "p99_us", field("p99_us"))
    if (field("cpu_s") >= 0) add(scenario SUBSEP path SUBSEP "cpu", field("cpu_s") * 1e6 / field("tx"))
  }
}

END {
  n = 0
  for (r in rounds) n++
  print ""
  printf "== %s: medians of %d rounds (± spread: (max - min) / median)\n", mode, n
  printf "%-12s %-7s %18s %18s %18s %7s %7s %7s\n", "scenario", "metric", "A server", "B socat", "C direct", "A/B", "A/C", "B/C"
  split("seq inflight16 inflight256 bulk100 bulk256k", order, " ")
  for (i = 1; i <= 5; i++) {
    s = order[i]
    if (!(s in seen)) continue
    if (s ~ /^bulk/) {
      first_metric[s] = "mbps"
      row(s, "MB/s", "mbps")
    } else {
      first_metric[s] = "tps"
      row(s, "tx/s", "tps")
      row(s, "p50 us", "p50_us")
      row(s, "p99 us", "p99_us")
    }
  }
  print "ratios: throughput first/second, latency second/first: 1.00 or more means the first path is at least as good"
  print "middle-hop CPU (per process and its children, median): A server, B socat, A/B"
  for (i = 1; i <= 5; i++) {
    s = order[i]
    if (!((s SUBSEP "A" SUBSEP "cpu") in count)) continue
    a = median_of(s SUBSEP "A" SUBSEP "cpu")
    b = ((s SUBSEP "B" SUBSEP "cpu") in count) ? median_of(s SUBSEP "B" SUBSEP "cpu") : 0
    printf "  %-12s %8.2f %8.2f %s %6s\n", s, a, b, (s ~ /^bulk/ ? "ms/MB" : "us/tx"), (b > 0 ? sprintf("%.2f", a / b) : "-")
  }
  if (idle_cpu != "") printf "path A idle CPU over 3 s with a client connected: %.2f s\n", idle_cpu
  if (peak_kib != "") printf "path A peak resident memory (VmHWM): %d KiB\n", peak_kib
}
