#!/usr/bin/env bash
# Sets everything up, builds maildig, starts a private POP3 server (Dovecot, on 127.0.0.77 only) holding a small
# demo mailbox, and shows a few searches, a view and their exit codes. The server is stopped at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh
echo "== building maildig =="
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target maildig >/dev/null
maildig=$PWD/build/src/maildig

server_dir=$PWD/build/demo-server
address=127.0.0.77
python3 tools/dovecot_instance.py start --dir "$server_dir" --address "$address" --plain-port 110 --tls-port 995 \
    --stls yes --user demo --password demo-password --mbox tools/demo/demo.mbox
trap 'python3 tools/dovecot_instance.py stop --dir "$server_dir"' EXIT
echo "== a private POP3 server runs on $address (port 110 with STLS, port 995 with TLS) =="

run() {
  echo
  echo "\$ maildig $*"
  set +e
  "$maildig" "$@"
  local code=$?
  set -e
  echo "[exit code $code]"
}

login="$address,demo,demo-password"
run -l "$login" invoice --range all
run -l "$login,995" --from bob --range all
run -l "$login" "café"
run -l "$login" -t team -s meeting
run -l "$login" -v demo-0002
config=$PWD/build/demo.cfg
run -l "$login,995" --write "$config"
run -c "$config" cheese
run -c "$config" "no such words anywhere"
echo
echo "Done; the demo server is stopped now. The program is $maildig (see --help)."
