# Shared pieces of the benchmark scripts: the release build, the fixture server, clean-up at exit
# and the timing helpers. A script sets $root (the repository) and then sources this file.
# shellcheck shell=sh disable=SC2034,SC2154  # $root comes from, and base_url goes to, the script

# Runs when the script exits: the fixture server is stopped, then each command given to at_exit
# runs, expanded only then (like a trap's text).
exit_commands=
at_exit() {  # shell-command
  exit_commands="$exit_commands$1
"
}
run_exit_commands() {
  stop_fixture_server
  stop_nginx
  rm -f "$time_report"
  eval "$exit_commands"
}
time_report=$(mktemp)
trap run_exit_commands EXIT

# Builds the targets. An existing build folder keeps its own options; a new one is configured
# for release.
build_targets() {  # build-folder target...
  build_folder=$1
  shift
  if [ ! -f "$build_folder/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build_folder" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DHALYARD_BUILD_TESTS=OFF >/dev/null
  fi
  cmake --build "$build_folder" -j2 --target "$@" >/dev/null
}

# Serves a folder on a free port of 127.0.0.1 and sets base_url to it. The server writes its
# port to <folder>/server.port and its messages to <folder>/server.log.
fixture_server_pid=
start_fixture_server() {  # server-program site-folder folder
  # The redirection below may create the file only after the wait starts: an old one would be
  # read as the new port.
  rm -f "$3/server.port"
  "$1" --root "$2" >"$3/server.port" 2>"$3/server.log" &
  fixture_server_pid=$!
  while [ ! -s "$3/server.port" ]; do
    if ! kill -0 "$fixture_server_pid" 2>/dev/null; then
      fixture_server_pid=
      cat "$3/server.log" >&2
      exit 1
    fi
    sleep 0.1
  done
  base_url="http://127.0.0.1:$(head -n 1 "$3/server.port")"
}
stop_fixture_server() {
  [ -n "$fixture_server_pid" ] || return 0
  kill "$fixture_server_pid" 2>/dev/null || true
  wait "$fixture_server_pid" 2>/dev/null || true
  fixture_server_pid=
}

# Serves a folder with nginx on a free port of 127.0.0.1 and sets base_url to it: a real web
# server, so that the server is not what the figures measure. Its configuration, logs and
# temporary files live in <folder>/nginx.
nginx_pid=
start_nginx() {  # site-folder folder
  local prefix=$2/nginx port
  mkdir -p "$prefix/logs" "$prefix/temp"
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  cat >"$prefix/nginx.conf" <<CONF
worker_processes 1;
error_log $prefix/logs/error.log;
pid $prefix/nginx.pid;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  tcp_nodelay on;
  keepalive_requests 1000000;
  default_type application/octet-stream;
  client_body_temp_path $prefix/temp/body;
  proxy_temp_path $prefix/temp/proxy;
  fastcgi_temp_path $prefix/temp/fastcgi;
  uwsgi_temp_path $prefix/temp/uwsgi;
  scgi_temp_path $prefix/temp/scgi;
  server {
    listen 127.0.0.1:$port;
    root $1;
  }
}
CONF
  nginx -p "$prefix" -c "$prefix/nginx.conf" -g 'daemon off;' 2>>"$prefix/logs/error.log" &
  nginx_pid=$!
  until curl -s -o /dev/null "http://127.0.0.1:$port/"; do
    kill -0 "$nginx_pid" 2>/dev/null || { nginx_pid=; cat "$prefix/logs/error.log" >&2; exit 1; }
    sleep 0.1
  done
  base_url="http://127.0.0.1:$port"
}
stop_nginx() {
  [ -n "$nginx_pid" ] || return 0
  kill "$nginx_pid" 2>/dev/null || true
  wait "$nginx_pid" 2>/dev/null || true
  nginx_pid=
}

# The median of the numbers on standard input, one a line: the mean of the middle two for an
# even count.
median() {
  sort -n | awk '{ v[NR] = $1 }
    END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# The median, least or greatest number in one column of a file of space-separated lines.
column_median() { cut -d' ' -f"$2" "$1" | median; }  # file column-number
column_least() { cut -d' ' -f"$2" "$1" | sort -n | head -n 1; }
column_greatest() { cut -d' ' -f"$2" "$1" | sort -n | tail -n 1; }

# Runs two commands (each a function name) the given number of times, swapping their order every
# round so that neither always follows the other's write-back.
alternate_rounds() {  # rounds first-command second-command
  alternate_round=0
  while [ $alternate_round -lt "$1" ]; do
    if [ $((alternate_round % 2)) -eq 0 ]; then
      $2
      $3
    else
      $3
      $2
    fi
    alternate_round=$((alternate_round + 1))
  done
}

# Prints "wall-seconds peak-kB cpu-seconds user-seconds system-seconds" from the report of
# /usr/bin/time -v.
time_report_fields() {  # report-file
  awk -F': ' '
    /Elapsed \(wall clock\) time/ {
      n = split($2, part, ":"); wall = 0
      for (i = 1; i <= n; i++) wall = wall * 60 + part[i]
    }
    /Maximum resident set size/ { rss = $2 }
    /User time \(seconds\)/ { user = $2 }
    /System time \(seconds\)/ { sys = $2 }
    END { printf "%.2f %d %.2f %.2f %.2f\n", wall, rss, user + sys, user, sys }' "$1"
}

# Runs a command under /usr/bin/time, its output discarded, and prints its time_report_fields.
# A failing command ends the script with the command's messages.
measure() {  # command...
  /usr/bin/time -v "$@" >/dev/null 2>"$time_report" ||
    { echo "$1 failed:" >&2; cat "$time_report" >&2; exit 1; }
  time_report_fields "$time_report"
}

# measure, with the folder the command writes into emptied first.
measure_in_empty() {  # folder command...
  rm -rf "$1"
  mkdir -p "$1"
  shift
  measure "$@"
}

# Runs a command and prints its wall-clock seconds, to the millisecond.
elapsed() {  # command...
  elapsed_start=$(date +%s%N)
  "$@"
  elapsed_end=$(date +%s%N)
  awk -v a="$elapsed_start" -v b="$elapsed_end" 'BEGIN { printf "%.3f\n", (b - a) / 1e9 }'
}
