#!/usr/bin/env bash
# Runs the demo from the build tree given as $1: throwaway keys and
# certificates, the sandbox merchant server on 127.0.0.1, and the example host
# application running all six operations against it, then the same six from
# the C example and the Python example (left out in a sanitizer build, whose
# library python3 cannot load). Exits non-zero when an
# operation failed or the sandbox rejected a signature.
# The programs may come from elsewhere (an installed prefix, a venv, unpacked
# packages): DEMO_SANDBOX, DEMO_HOST_APP, DEMO_C_APPS (several C programs,
# space-separated) and DEMO_PYTHON (a python3 that imports an installed
# orvalis) replace the build's own.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
repo=$(cd "$(dirname "$0")/.." && pwd)
sandbox_bin="${DEMO_SANDBOX:-$build/tools/orvalis-sandbox/orvalis-sandbox}"
host_app="${DEMO_HOST_APP:-$build/examples/host-app/host-app}"
read -r -a c_apps <<< "${DEMO_C_APPS:-$build/examples/c/checkout-c}"
for exe in "$sandbox_bin" "$host_app" "${c_apps[@]}"; do
  [ -x "$exe" ] || { echo "demo: missing $exe (build first)" >&2; exit 1; }
done
if [ -n "${DEMO_PYTHON:-}" ]; then
  python=("$DEMO_PYTHON")
elif [ -f "$build/python/orvalis/_library.py" ] && ! grep -q '^ORVALIS_SANITIZE:STRING=.' "$build/CMakeCache.txt"; then
  python=(env "PYTHONPATH=$build/python" "${PYTHON:-python3}")
else
  python=()
fi

work=$(mktemp -d)
sandbox_pid=
cleanup() {
  if [ -n "$sandbox_pid" ] && kill -0 "$sandbox_pid" 2>/dev/null; then
    kill -TERM "$sandbox_pid" 2>/dev/null || true
    wait "$sandbox_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

echo "== throwaway certificate authority, server certificate and merchant key"
openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -subj "/CN=Orvalis demo CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -keyout ca.key -out ca.pem 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" -keyout server.key -out server.csr 2>/dev/null
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' > server.ext
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -sha256 \
  -extfile server.ext -out server.pem 2>/dev/null
password="demo-$(openssl rand -hex 8)"
openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -subj "/CN=Orvalis demo merchant" \
  -keyout merchant.key -out merchant.pem 2>/dev/null
openssl pkcs12 -export -inkey merchant.key -in merchant.pem -name merchant \
  -passout "pass:$password" -out merchant.p12
rm merchant.key

cp "$repo/examples/resources/AuthorizePairing.xml" .

echo "== sandbox merchant server"
consumer_key="demo-consumer-key!1"
"$sandbox_bin" --merchant-cert merchant.pem --cert server.pem --key server.key \
  --consumer-key "$consumer_key" --keep-alive 2 --port-file port.txt > sandbox.log 2>&1 &
sandbox_pid=$!
for _ in $(seq 1 100); do
  [ -s port.txt ] && break
  kill -0 "$sandbox_pid" 2>/dev/null || break
  sleep 0.1
done
if [ ! -s port.txt ]; then
  echo "demo: the sandbox did not start" >&2
  cat sandbox.log >&2
  exit 1
fi
port=$(cat port.txt)

echo "== host application against https://127.0.0.1:$port"
app_status=0
"$host_app" --host "127.0.0.1:$port" --resources "$work" --consumer-key "$consumer_key" \
  --key-file merchant --password "$password" --trust ca.pem --quiet || app_status=$?
for c_app in "${c_apps[@]}"; do
  echo "== C example ($c_app) against https://127.0.0.1:$port"
  "$c_app" --host "127.0.0.1:$port" --resources "$work" --consumer-key "$consumer_key" \
    --key-file merchant --password "$password" --trust ca.pem --quiet || app_status=$?
done
if [ ${#python[@]} -gt 0 ]; then
  echo "== Python example against https://127.0.0.1:$port"
  "${python[@]}" "$repo/examples/python/checkout.py" --host "127.0.0.1:$port" \
    --resources "$work" --consumer-key "$consumer_key" --key-file merchant --password "$password" \
    --trust ca.pem --quiet || app_status=$?
fi

kill -TERM "$sandbox_pid"
sandbox_status=0
wait "$sandbox_pid" || sandbox_status=$?
sandbox_pid=
echo "== sandbox log"
cat sandbox.log

if [ "$app_status" -ne 0 ] || [ "$sandbox_status" -ne 0 ] || grep -q ' rejected:' sandbox.log; then
  echo "demo: FAILED (host application status $app_status, sandbox status $sandbox_status)" >&2
  exit 1
fi
echo "demo: all six operations succeeded (C++, C and Python) and every signature was accepted"
