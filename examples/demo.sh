#!/usr/bin/env bash
# The demo: starts ewssim on a free loopback port with two mailboxes and walks the road of one
# request with the `ews` tool. Every command is printed before it runs, so it can be copied.
# Argument: the build folder (default: build).
set -euo pipefail
BUILD=$(cd "${1:-build}" && pwd)
SIM="$BUILD/tools/ewssim/ewssim"
EWS="$BUILD/tools/ews/ews"
for program in "$SIM" "$EWS"; do
  [[ -x "$program" ]] || { echo "demo: $program is not built (run ./run.sh build)" >&2; exit 1; }
done

WORK=$(mktemp -d)
SIM_PID=""
cleanup() {
  if [[ -n "$SIM_PID" ]] && kill -0 "$SIM_PID" 2>/dev/null; then
    kill "$SIM_PID" 2>/dev/null || true
    wait "$SIM_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT

say() { printf '\n\033[1m# %s\033[0m\n' "$*"; }
# Prints a command as it can be typed (arguments with spaces or quotes in single quotes).
show() {
  local line="$" arg
  for arg in "$@"; do
    if [[ "$arg" =~ ^[A-Za-z0-9_./:@,=+-]+$ ]]; then
      line+=" $arg"
    elif [[ "$arg" != *\'* ]]; then
      line+=" '$arg'"
    else
      line+=" \"$arg\""
    fi
  done
  printf '%s\n' "$line"
}
run() {
  show ews "$@"
  "$EWS" "$@"
}

say "Starting ewssim with Alice's and Bob's mailboxes (5 seeded messages each)"
"$SIM" --listen 127.0.0.1:0 --user 'alice@example.com:alice-secret:Alice Archer' \
  --user 'bob@example.com:bob-secret:Bob Baker' --seed 5 >"$WORK/sim.out" 2>"$WORK/sim.err" &
SIM_PID=$!
URL=""
for _ in $(seq 1 100); do
  URL=$(sed -n 's/^listening on //p' "$WORK/sim.out" | head -n 1)
  [[ -n "$URL" ]] && break
  kill -0 "$SIM_PID" 2>/dev/null || { cat "$WORK/sim.err" >&2; exit 1; }
  sleep 0.1
done
[[ -n "$URL" ]] || { echo "demo: ewssim did not start" >&2; exit 1; }
echo "ewssim listens on $URL"

# The connection: URL and user in the environment, the password too (never on the command line).
export EWS_URL="$URL" EWS_USER=alice@example.com EWS_PASSWORD=alice-secret
echo "export EWS_URL=$URL EWS_USER=alice@example.com EWS_PASSWORD=…"

say "1. Log on: the check request learns the server's version; the default store is opened"
run info

say "2. The folders of the mailbox"
run folders

say "3. Unread mail in the Inbox: one FindItem with a restriction on the read flag"
run ls inbox --columns subject,from,datetimereceived --where "isread = false"

HAVE_ITEMS=0
if "$EWS" --help-all 2>/dev/null | grep -q '^  send'; then HAVE_ITEMS=1; fi

if ((HAVE_ITEMS)); then
  say "4. Mark them read: one UpdateItem with a SetItemField for IsRead per message"
  mapfile -t IDS < <("$EWS" --json ls inbox --columns subject --where "isread = false" |
    python3 -c 'import json,sys; [print(r["id"]) for r in json.load(sys.stdin)]')
  for id in "${IDS[@]}"; do
    run set "$id" isread=true
  done
  run ls inbox --columns subject,isread --where "isread = false"

  say "5. Send a message to Bob (another mailbox on the same server)"
  run send --to bob@example.com --subject "Lunch on Friday?" --body "Shall we meet at noon?"
else
  say "4. File the unread mail: move the messages to a new folder"
  run mkdir "Inbox/Unread"
  mapfile -t IDS < <("$EWS" --json ls inbox --columns subject --where "isread = false" |
    python3 -c 'import json,sys; [print(r["id"]) for r in json.load(sys.stdin)]')
  if ((${#IDS[@]})); then run mv "${IDS[@]}" "Inbox/Unread"; fi
  run folders --tree inbox

  say "5. Deliver a message to Bob's mailbox (import of a MIME message)"
  cat >"$WORK/lunch.eml" <<'MAIL'
From: Alice Archer <alice@example.com>
To: Bob Baker <bob@example.com>
Subject: Lunch on Friday?
MIME-Version: 1.0
Content-Type: text/plain; charset=utf-8

Shall we meet at noon?
MAIL
  echo "(as Bob: EWS_USER=bob@example.com EWS_PASSWORD=…)"
  EWS_USER=bob@example.com EWS_PASSWORD=bob-secret run import inbox "$WORK/lunch.eml"
fi

say "6. Bob's Inbox has it"
echo "(as Bob: EWS_USER=bob@example.com EWS_PASSWORD=…)"
EWS_USER=bob@example.com EWS_PASSWORD=bob-secret \
  run ls inbox --columns subject,from --where "subject contains 'lunch'"

if "$EWS" --help 2>/dev/null | grep -q '^  meet '; then
  say "7. Alice invites Bob to a meeting; Bob accepts the request in his Inbox"
  run meet --subject "Project kick-off" --start 2026-06-01T10:00 --end 2026-06-01T11:00 \
    --to bob@example.com
  echo "(as Bob: EWS_USER=bob@example.com EWS_PASSWORD=…)"
  REQUEST=$(EWS_USER=bob@example.com EWS_PASSWORD=bob-secret "$EWS" --json ls inbox \
    --columns subject --where "itemclass = 'IPM.Schedule.Meeting.Request'" |
    python3 -c 'import json,sys; print(json.load(sys.stdin)[0]["id"])')
  EWS_USER=bob@example.com EWS_PASSWORD=bob-secret run respond "$REQUEST" accept --body "See you there"
  run ls inbox --columns subject,from --where "subject startswith 'Accepted'"
  run cal --from 2026-06-01 --to 2026-06-02
fi

say "Stopping ewssim"
kill "$SIM_PID"
wait "$SIM_PID" 2>/dev/null || true
SIM_PID=""
echo "done"
