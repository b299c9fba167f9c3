# Timing helpers shared by the grep benchmarks; sourced, not run.
#
#   runs   runs per command (required)
#   limit  seconds before a run is given up (optional; unset or empty: none)

median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

# Runs a command `runs` times; prints its median time and then its output.
# Under a limit a run that exits with 1 (nothing found) still counts, stderr
# is dropped, and a run given up or failing otherwise prints "timeout".
timeit() {
  local out t0 t1 times=()
  for _ in $(seq "$runs"); do
    t0=$(date +%s.%N)
    if [ -n "${limit:-}" ]; then
      out=$(timeout "$limit" "$@" 2>/dev/null) || [ $? -eq 1 ] || out="timeout"
    else
      out=$("$@")
    fi
    t1=$(date +%s.%N)
    times+=("$(echo "$t1 - $t0" | bc -l)")
  done
  printf '%s\n' "${times[@]}" | median
  echo "${out:-0}"
}

# a / b with two decimals.
ratio() { echo "scale=2; $1 / $2" | bc -l | sed 's/^\./0./'; }
