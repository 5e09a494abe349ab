-- wrk script: sends an Origin header and counts answers that are not 200
-- with the expected body (exact for /health, the snapshot's prefix for /rig).
local path = os.getenv("BRIDGE_PATH") or "/health"
local health = '{"ok":true,"app":"corvanthelis","version":"1.0.0","schema":1}'
local threads = {}

function setup(thread)
  table.insert(threads, thread)
end

function init(args)
  mismatches = 0
  wrk.headers["Origin"] = "https://corvanthelis.com"
end

request = function()
  return wrk.format("GET", path)
end

response = function(status, headers, body)
  local good
  if path == "/health" then
    good = body == health
  else
    good = string.sub(body, 1, 12) == '{"schema":1,'
  end
  if status ~= 200 or not good then
    mismatches = mismatches + 1
  end
end

done = function(summary, latency, requests)
  local total = 0
  for _, thread in ipairs(threads) do
    total = total + thread:get("mismatches")
  end
  io.write(string.format("mismatches %d\n", total))
  io.write(string.format("latency p50 %.0fus p90 %.0fus p99 %.0fus\n",
    latency:percentile(50), latency:percentile(90), latency:percentile(99)))
end
