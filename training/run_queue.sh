#!/usr/bin/env bash
# Train and evaluate models one after another, one thread each.
#   DEADLINE=$(date -d 19:25 +%s) training/run_queue.sh rc:20 rq:38 ...
# Each argument is name:minutes (expected wall time); a model that would end
# after DEADLINE is skipped, so a session never leaves a half-trained file.
cd "$(dirname "$0")/.." || exit 1
deadline=${DEADLINE:-0}
mkdir -p training/logs
for entry in "$@"; do
  name=${entry%%:*}
  minutes=${entry#*:}
  if [ "$deadline" -gt 0 ] && [ $(($(date +%s) + minutes * 60)) -gt "$deadline" ]; then
    echo "$(date +%T) skip $name: $minutes min would pass the deadline"
    continue
  fi
  # The module is reinstalled from time to time; wait until it imports.
  for _ in $(seq 60); do .venv/bin/python -c "import movarin" 2>/dev/null && break; sleep 10; done
  echo "$(date +%T) start $name"
  .venv/bin/python -m training.train "$name" --threads 1 >"training/logs/$name.log" 2>&1 &&
    .venv/bin/python -m training.evaluate "$name" >>"training/logs/$name.log" 2>&1
  echo "$(date +%T) end $name (exit $?)"
done
