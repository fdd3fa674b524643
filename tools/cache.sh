# Sourced by the toolchain and machine builders: what a cache folder of
# theirs is, and how a new one takes the place of the old.
#
# A cache is a folder whose key file begins with cache_mark, a line that
# only these builders write: a folder that merely holds a file called key
# is not one. A build marks its .new folder when it starts, so a half-built
# one left by a run that was killed is known as ours too.

cache_mark="# kelvane cache: made by tools/build-*, replaced as a whole"

cache_ours() { # cache_ours DIR: DIR holds a cache of ours, whole or half-built
  [ -f "$1/key" ] && [ ! -L "$1" ] && [ "$(head -n 1 "$1/key")" = "$cache_mark" ]
}

cache_free() { # cache_free PATH: nothing there, an empty folder, or ours
  if [ ! -e "$1" ] && [ ! -L "$1" ]; then return 0; fi
  if [ -d "$1" ] && [ ! -L "$1" ] && [ -z "$(ls -A "$1")" ]; then return 0; fi
  cache_ours "$1"
}

# cache_check WHAT DIR VARIABLE: exits, having written nothing, when DIR,
# its .new or .old sibling or its lock holds something that is not ours.
cache_check() {
  local what=$1 dir=$2 variable=$3 path
  for path in "$dir" "$dir.new" "$dir.old"; do
    if ! cache_free "$path"; then
      echo "$path is not empty and holds no $what of ours (no key that these builders wrote);" \
        "not replacing it. Remove it, or point $variable at a folder of its own." >&2
      exit 1
    fi
  done
  # Our lock is an empty file.
  if [ -L "$dir.lock" ] || { [ -e "$dir.lock" ] && { [ ! -f "$dir.lock" ] || [ -s "$dir.lock" ]; }; }; then
    echo "$dir.lock is not a lock of ours; not replacing it. Point $variable at a folder of its own." >&2
    exit 1
  fi
}

# cache_lock WHAT DIR: one run per cache at a time; a second one waits
# here, then finds what the first built.
cache_lock() {
  exec 9>"$2.lock"
  if ! flock -n 9; then
    echo "$1: waiting for the build that another run is making in $2"
    flock 9
  fi
  # A run killed between the two renames of cache_publish left the last
  # good cache as .old only: it is taken back. One killed after them left
  # an .old beside it, which goes.
  if cache_ours "$2.old"; then
    if [ -e "$2" ]; then rm -rf --one-file-system "$2.old"; else mv -T "$2.old" "$2"; fi
  fi
}

cache_up_to_date() { # cache_up_to_date DIR KEY
  cache_ours "$1" && [ "$(tail -n +2 "$1/key")" = "$2" ]
}

cache_start() { # cache_start NEW: an empty NEW, marked as ours
  rm -rf --one-file-system "$1"
  mkdir -p "$1"
  echo "$cache_mark" >"$1/key"
}

# cache_publish NEW FINAL KEY: writes the key and puts the complete NEW in
# FINAL's place. The two renames run in one process that ignores INT and
# TERM, so a signal to the whole process group cannot stop it between
# them; this shell's own traps run once it is done. Only SIGKILL can leave
# FINAL missing there, and then cache_lock takes FINAL.old back.
cache_publish() {
  printf '%s\n%s\n' "$cache_mark" "$3" >"$1/key"
  sync -f "$1/key"
  (
    trap '' INT TERM
    if [ -e "$2" ]; then mv -T "$2" "$2.old"; fi
    mv -T "$1" "$2"
  )
  rm -rf --one-file-system "$2.old"
}
