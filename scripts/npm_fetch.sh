# Sourced by the runtime fetch scripts: fetches one pinned npm package and checks it.
#
# npm_fetch_checked NAME VERSION SHA512 WORK_DIR
#   runs `npm pack NAME@VERSION` in WORK_DIR, checks the tarball's sha512 against SHA512 and
#   prints the tarball's path; exits the calling script with status 1 on any failure.
npm_fetch_checked() {
  local name="$1" version="$2" sha512="$3" work="$4" who
  who="$(basename "$0" .sh)"
  if ! command -v npm >/dev/null 2>&1; then
    echo "$who: npm is needed to fetch ONNX Runtime (apt-get install npm)" >&2
    exit 1
  fi
  echo "$who: fetching $name@$version ..." >&2
  (cd "$work" && npm pack --silent "$name@$version" >/dev/null)
  local tarball="$work/$name-$version.tgz"
  local actual
  actual="$(sha512sum "$tarball" | cut -d' ' -f1)"
  if [[ "$actual" != "$sha512" ]]; then
    echo "$who: sha512 mismatch for $name@$version" >&2
    echo "  expected $sha512" >&2
    echo "  got      $actual" >&2
    exit 1
  fi
  echo "$tarball"
}
