#!/usr/bin/env bash
# Sets everything up, builds maildig, starts a private POP3 server (Dovecot, on 127.0.0.77 only) holding a small
# demo mailbox, and shows a few searches, a view and their exit codes. The server is stopped at the end, and
# its mail store and secrets removed. Run by a normal user, it uses sudo for the server only (it binds ports
# 110 and 995 and runs Dovecot's processes as their own users) and for installing missing packages.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/root.sh

bash tools/setup.sh
echo "== building maildig =="
own_build_trees build
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target maildig >/dev/null
maildig=$PWD/build/src/maildig

server_dir=$PWD/build/demo-server
address=127.0.0.77
stop_server() {
  as_root "stop the demo server" python3 tools/dovecot_instance.py stop --dir "$server_dir" || true
  own_build_trees build
}
trap stop_server EXIT
as_root "start the demo server (Dovecot on ports 110 and 995 of $address)" \
  python3 tools/dovecot_instance.py start --dir "$server_dir" --address "$address" --plain-port 110 \
  --tls-port 995 --stls yes --user demo --password demo-password --mbox tools/demo/demo.mbox
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
