# Shared by scripts/demo and scripts/test: installs what the build and the tests need, and builds.
# shellcheck shell=bash

VXM_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# What the four programs alone need to build (-DBUILD_TESTING=OFF); the README lists the same.
VXM_PROGRAM_PACKAGES=(
  build-essential cmake pkg-config
  qtbase5-dev qtbase5-private-dev
  libboost-dev libboost-thread-dev libboost-system-dev libboost-regex-dev libboost-date-time-dev
  libtomcrypt-dev libtommath-dev zlib1g-dev
)
VXM_PACKAGES=(
  "${VXM_PROGRAM_PACKAGES[@]}"
  qttools5-dev-tools qttools5-dev libboost-serialization-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  nginx-light telnet netcat-openbsd openssl zip unzip python3 iproute2 util-linux
  xvfb xauth procps locales
  clang libclang-rt-14-dev
)

vxm_install_deps() {
  local missing=()
  local p
  for p in "${VXM_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
      echo "Missing packages and not root; install them with apt-get: ${missing[*]}" >&2
      return 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q >/dev/null
    apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

# vxm_build <build folder> [--target TARGET] [cmake options...]
# The compiler's output goes to <build folder>.log. With VXM_BUILD_PROGRESS=N set, the build's
# percentage is printed every N seconds.
vxm_build() {
  local dir=$1; shift
  local target=()
  if [ "${1:-}" = --target ]; then
    target=(--target "$2")
    shift 2
  fi
  cmake -S "$VXM_ROOT" -B "$dir" -G "Unix Makefiles" "$@" >/dev/null
  local every=${VXM_BUILD_PROGRESS:-0} rc=0
  if [ "$every" -gt 0 ]; then
    echo "   compiler output: $dir.log"
    cmake --build "$dir" "${target[@]}" -j"$(nproc)" -- --no-print-directory >"$dir.log" 2>&1 &
    local build=$! started=$SECONDS next=$((SECONDS + every))
    while kill -0 "$build" 2>/dev/null; do
      sleep 1
      if [ $SECONDS -ge $next ]; then
        next=$((SECONDS + every))
        local pct
        pct=$(grep -o '^\[ *[0-9]*%\]' "$dir.log" | tail -n1 | tr -d '[] ' || true)
        echo "   building: ${pct:-0%} done after $((SECONDS - started)) s"
      fi
    done
    wait "$build" || rc=$?
  else
    cmake --build "$dir" "${target[@]}" -j"$(nproc)" -- --no-print-directory >"$dir.log" 2>&1 || rc=$?
  fi
  [ "$rc" = 0 ] || { tail -n 80 "$dir.log"; echo "the build failed; its whole output is in $dir.log" >&2; return 1; }
  # Warnings in our own code are faults too.
  if grep -E '^(/|\.\./)?[^ ]*(host_api|updater|ctrlport_plugin|runwatcher_plugin|addon_setup|testing|bench)/[^ ]*: warning:' "$dir.log"; then
    echo "warnings in our code (see above)" >&2
    return 1
  fi
}
