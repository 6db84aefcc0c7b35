#!/usr/bin/env bash
# Train and evaluate models one after another, one thread each.
#   DEADLINE=$(date -d 19:25 +%s) training/run_queue.sh rc:20 rq:38 ...
# Each argument is name:minutes (expected wall time); a model that would end
# after DEADLINE is skipped, so a session never leaves a half-trained file.
# TRAIN_ARGS is appended to every training command, with {name} replaced by the
# model's name; a run that writes elsewhere (--out) is not evaluated here:
#   TRAIN_ARGS="--seed 2 --init weights/{name}.ovrel --measured 0.5 --lr 3e-4 --out training/trials/{name}_ft.ovrel" \
#     training/run_queue.sh two_rq:25
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
  extra=${TRAIN_ARGS//\{name\}/$name}
  # shellcheck disable=SC2086  # the extra arguments are meant to split
  .venv/bin/python -m training.train "$name" --threads 1 $extra >"training/logs/$name.log" 2>&1 &&
    case " $extra " in
      *" --out "*) true ;;
      *) .venv/bin/python -m training.evaluate "$name" >>"training/logs/$name.log" 2>&1 ;;
    esac
  echo "$(date +%T) end $name (exit $?)"
done
