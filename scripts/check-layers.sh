#!/usr/bin/env bash
# Fails when a source file includes something its layer may not know:
#   - the core (ui, terminal, monitor, options, capture, text, wire) and the
#     ports (platform) include only the C++ standard library and each other,
#     never Qt, an OS header or an adapter (linux/, qt/);
#   - text/ includes only the standard library and itself, and wire/ only
#     that, itself and platform/IpAddress.h;
#   - the Linux adapters and the capture helper never include Qt, and the Qt
#     adapters and the programs (app/) never include an OS header;
#   - the helper includes only itself, wire/, platform/IpAddress.h and the
#     local address dump of linux/;
#   - the JSON writer (json/) includes the core and the JSON library only.
# Usage: scripts/check-layers.sh [source folder], default src/ beside this script.
set -euo pipefail
src=${1:-"$(dirname "$0")/../src"}

# The headers of the C++ standard library (C++20), with the C headers in
# their <cxxx> form. Anything else in angle brackets is the OS or a library.
standard=" algorithm any array atomic barrier bit bitset cassert cctype cerrno cfenv cfloat charconv chrono
  cinttypes climits clocale cmath codecvt compare complex concepts condition_variable coroutine csetjmp csignal
  cstdarg cstddef cstdint cstdio cstdlib cstring ctime cuchar cwchar cwctype deque exception execution expected
  filesystem format forward_list fstream functional future initializer_list iomanip ios iosfwd iostream istream
  iterator latch limits list locale map memory memory_resource mutex new numbers numeric optional ostream
  queue random ranges ratio regex scoped_allocator semaphore set shared_mutex source_location span sstream
  stack stdexcept stop_token streambuf string string_view syncstream system_error thread tuple type_traits
  typeindex typeinfo unordered_map unordered_set utility valarray variant vector version "
# One space between names, also where the list breaks its lines.
standard=${standard//$'\n'/ }

failures=0
report() {
  echo "layering: $1" >&2
  failures=$((failures + 1))
}

# Every #include line of the given folders, as "file:line:header" with the
# header still in its <> or "" brackets.
includes() {
  local folder
  for folder in "$@"; do
    [[ -d $src/$folder ]] || continue
    grep -rnE --include='*.h' --include='*.cpp' '^[[:space:]]*#[[:space:]]*include' "$src/$folder" |
      sed -E 's/^([^:]+:[0-9]+):[[:space:]]*#[[:space:]]*include[[:space:]]*([<"][^>"]+[>"]).*/\1:\2/'
  done
}

core_folders=(ui terminal monitor options capture text wire platform)
while IFS= read -r entry; do
  header=${entry##*:}
  where=${entry%:*}
  case $header in
    \<*\>)
      name=${header:1:-1}
      [[ $standard == *" $name "* ]] || report "$where includes $header: the core and the ports use only the C++ standard library"
      ;;
    \"*\")
      name=${header:1:-1}
      top=${name%%/*}
      [[ " ${core_folders[*]} " == *" $top "* ]] ||
        report "$where includes $header: the core and the ports include only each other, never an adapter"
      ;;
  esac
done < <(includes "${core_folders[@]}")

while IFS= read -r entry; do
  header=${entry##*:}
  where=${entry%:*}
  name=${header:1:-1}
  case $name in
    Q* | q* | qt/*) report "$where includes $header: only src/qt/ and main.cpp use Qt" ;;
  esac
  if [[ $where == */helper/* && $header == \"*\" ]]; then
    case $name in
      helper/* | wire/* | platform/IpAddress.h | linux/InterfaceAddresses.h) ;;
      *) report "$where includes $header: the helper shares only the capture format" ;;
    esac
  fi
done < <(includes linux helper)

# The text table and the wire format stand on their own.
while IFS= read -r entry; do
  header=${entry##*:}
  where=${entry%:*}
  name=${header:1:-1}
  [[ $header == \"*\" ]] || continue
  case $where in
    */text/*) [[ $name == text/* ]] || report "$where includes $header: the texts include only each other" ;;
    */wire/*) [[ $name == wire/* || $name == platform/IpAddress.h ]] ||
      report "$where includes $header: the wire format includes only itself and platform/IpAddress.h" ;;
  esac
done < <(includes text wire)

while IFS= read -r entry; do
  header=${entry##*:}
  where=${entry%:*}
  case $header in
    \<Q* | \<qt*) ;;
    \<*\>)
      name=${header:1:-1}
      [[ $standard == *" $name "* ]] || report "$where includes $header: only src/linux/ and the helper use OS headers"
      ;;
  esac
done < <(includes qt app)

while IFS= read -r entry; do
  header=${entry##*:}
  where=${entry%:*}
  name=${header:1:-1}
  case $header in
    \<rapidjson/*\>) ;;
    \<*\>) [[ $standard == *" $name "* ]] || report "$where includes $header: the JSON writer uses only the JSON library" ;;
    *) [[ " ${core_folders[*]} json " == *" ${name%%/*} "* ]] || report "$where includes $header: the JSON writer includes only the core" ;;
  esac
done < <(includes json)

if ((failures)); then
  echo "layering: $failures include(s) cross a layer" >&2
  exit 1
fi
echo "layering: every include keeps to its layer"
