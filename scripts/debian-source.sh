#!/usr/bin/env bash
# Fetches and unpacks a Debian source package with apt-get source, without touching the
# machine's apt set-up:
#   scripts/debian-source.sh <package> <dest> [<minimum upstream version>]
# <dest> becomes the unpacked source tree (patches applied); <dest>.apt holds apt's private
# state. With a minimum version, a fetched upstream version below it is an error.
#
# The source entries are derived from the machine's own binary entries: every enabled "deb"
# entry of Debian's archives (suites named after this release's codename: bookworm,
# bookworm-updates, bookworm-security, ...) becomes a "deb-src" entry in a private list, with
# its options, Signed-By included, unchanged, so apt checks the same signatures. Other
# repositories, and the files apt itself ignores (*.disabled-by-farm, *.save, ...), are left
# out. apt then runs on private lists, cache and source parts: the machine's lists, cache and
# configuration files stay as they are, and no lock of the machine's apt is taken.
set -euo pipefail

if [ $# -lt 2 ] || [ $# -gt 3 ]; then
  echo "usage: $0 <package> <dest> [<minimum upstream version>]" >&2
  exit 2
fi
package=$1
dest=$(realpath -m "$2")
minimum=${3:-}
work=$dest.apt

fail() { echo "debian-source: $*" >&2; exit 1; }

codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
[ -n "$codename" ] || fail "no VERSION_CODENAME in /etc/os-release"

# Where this machine's apt reads its entries (normally /etc/apt/sources.list and
# /etc/apt/sources.list.d/).
eval "$(apt-config shell machine_list Dir::Etc::sourcelist/f machine_parts Dir::Etc::sourceparts/d)"

rm -rf "$work"
mkdir -p "$work/etc/sources.list.d" "$work/state/lists/partial" "$work/cache/archives/partial" \
         "$work/unpack"

# One-line entries: "deb [options] uri suite component..." -> "deb-src ..." for Debian's suites.
one_line_to_source() {
  awk -v codename="$codename" -v file="$1" '
    { sub(/#.*/, "") }
    $1 != "deb" { next }
    {
      rest = $0
      sub(/^[ \t]*deb[ \t]+/, "", rest)
      options = ""
      if (rest ~ /^\[/) {
        end = index(rest, "]")
        if (end == 0) next
        options = substr(rest, 1, end) " "
        rest = substr(rest, end + 1)
      }
      n = split(rest, word, /[ \t]+/)
      first = (word[1] == "") ? 2 : 1 # leading blank after the options
      suite = word[first + 1]
      if (suite != codename && index(suite, codename "-") != 1) {
        printf "debian-source: left out (not a %s suite): %s: %s\n", codename, file, $0 > "/dev/stderr"
        next
      }
      print "deb-src " options rest
    }' "$1"
}

# deb822 stanzas: kept line for line (a Signed-By may be a key block over several lines), with
# Types set to deb-src and Suites narrowed to Debian's; stanzas without a "deb" type, disabled,
# or with no suite of this release are left out.
deb822_to_source() {
  awk -v codename="$codename" -v file="$1" '
    function flush(   i, key, types, enabled, kept, w, nw, word) {
      if (n == 0) return
      types = ""; enabled = "yes"; kept = ""
      for (i = 1; i <= n; i++) {
        if (keys[i] == "types") types = " " vals[i] " "
        if (keys[i] == "enabled") enabled = tolower(vals[i])
        if (keys[i] == "suites") {
          nw = split(vals[i], word, /[ \t]+/)
          for (w = 1; w <= nw; w++)
            if (word[w] == codename || index(word[w], codename "-") == 1) kept = kept " " word[w]
        }
      }
      if (types !~ /[ \t]deb[ \t]/ || enabled == "no") { n = 0; return }
      if (kept == "") {
        printf "debian-source: left out (no %s suite): %s: %s\n", codename, file, uris > "/dev/stderr"
        n = 0; return
      }
      for (i = 1; i <= n; i++) {
        if (keys[i] == "types") print "Types: deb-src"
        else if (keys[i] == "suites") print "Suites:" kept
        else print lines[i]
      }
      print ""
      n = 0
    }
    /^[ \t]*$/ { flush(); next }
    /^#/ { next }
    {
      lines[++n] = $0
      if ($0 ~ /^[ \t]/) { keys[n] = ""; next } # continuation of the field above
      key = $0; sub(/:.*/, "", key); keys[n] = tolower(key)
      val = $0; sub(/^[^:]*:[ \t]*/, "", val); sub(/[ \t]+$/, "", val); vals[n] = val
      if (keys[n] == "uris") uris = val
    }
    END { flush() }' "$1"
}

shopt -s nullglob
if [ -f "$machine_list" ]; then
  one_line_to_source "$machine_list" >>"$work/etc/sources.list"
fi
touch "$work/etc/sources.list"
for f in "$machine_parts"*.list; do
  one_line_to_source "$f" >>"$work/etc/sources.list"
done
for f in "$machine_parts"*.sources; do
  deb822_to_source "$f" >"$work/etc/sources.list.d/$(basename "$f")"
done
if ! grep -qs -e '^deb-src' -e '^Types: deb-src' "$work/etc/sources.list" \
       "$work/etc/sources.list.d/"*.sources; then
  fail "no enabled Debian '$codename' entries in $machine_list or $machine_parts*.{list,sources}"
fi

apt_private=(
  -o "Dir::Etc::SourceList=$work/etc/sources.list"
  -o "Dir::Etc::SourceParts=$work/etc/sources.list.d"
  -o "Dir::State=$work/state"
  -o "Dir::Cache=$work/cache"
)
# As root, apt downloads as its unprivileged user, who must be able to write the folder.
if [ "$(id -u)" -eq 0 ] && id _apt >/dev/null 2>&1; then
  chown _apt "$work/unpack"
fi

echo "debian-source: reading the source indexes of Debian $codename"
apt-get "${apt_private[@]}" -qq update
echo "debian-source: fetching the source package $package"
(cd "$work/unpack" && apt-get "${apt_private[@]}" -qq source --only-source "$package") \
  >"$work/source.log" 2>&1 || { cat "$work/source.log" >&2; fail "apt-get source $package failed"; }

dsc=("$work/unpack/"*.dsc)
[ ${#dsc[@]} -eq 1 ] || fail "expected one .dsc in $work/unpack, found ${#dsc[@]}"
version=$(sed -n 's/^Version: *//p' "${dsc[0]}")
upstream=${version#*:}
upstream=${upstream%-*}
tree=("$work/unpack/"*/)
[ ${#tree[@]} -eq 1 ] || fail "expected one unpacked tree in $work/unpack, found ${#tree[@]}"

if [ -n "$minimum" ] && dpkg --compare-versions "$upstream" lt "$minimum"; then
  fail "Debian's $package source is $upstream ($version), older than $minimum, the version" \
       "the Linux build uses; the Windows builds must not fall behind it"
fi

rm -rf "$dest"
mv "${tree[0]}" "$dest"
echo "$upstream" >"$dest/.debian-upstream-version"
echo "debian-source: $package $version unpacked in $dest"
