#!/usr/bin/env bash
# Checks that every relative link of every Markdown file of the repository
# resolves: the file or folder it names exists, and a "#fragment" names a
# heading of the Markdown file it points into. Links with a scheme (https:,
# mailto:) are not followed; code blocks and code spans are not read.
#
#   scripts/check-links.sh [ROOT]    prints each broken link; exit 1 when there is one
set -euo pipefail
root=$(cd "${1:-$(dirname "$0")/..}" && pwd)
cd "$root"

# The Markdown files: those git knows of, or every one below ROOT outside build/.
if git -C "$root" rev-parse --show-toplevel >/dev/null 2>&1 &&
   [ "$(git -C "$root" rev-parse --show-toplevel)" = "$root" ]; then
  mapfile -t files < <(git ls-files --cached --others --exclude-standard -- '*.md')
else
  mapfile -t files < <(find . -path ./build -prune -o -name '*.md' -type f -print | sed 's|^\./||')
fi

# Prints the text of a Markdown file outside fenced code blocks and code
# spans, each line as "LINE<TAB>text".
prose() {
  awk '
    /^ *(```|~~~)/ { fenced = !fenced; next }
    fenced { next }
    { line = $0; gsub(/``[^`]*``|`[^`]*`/, "", line); print NR "\t" line }' "$1"
}

# The fragments the headings of a Markdown file are reached by: lower case,
# ASCII punctuation dropped, spaces as hyphens, repeats numbered.
anchors() {
  awk '
    /^ *(```|~~~)/ { fenced = !fenced; next }
    !fenced && /^ *#+ / {
      h = $0
      sub(/^ *#+ +/, "", h); sub(/ +#* *$/, "", h)
      h = tolower(h)
      gsub(/[!-,.\/:-@[-^`{-~]/, "", h)
      gsub(/ /, "-", h)
      if (h in seen) { n = seen[h]++; print h "-" n } else { seen[h] = 1; print h }
    }' "$1"
}

broken=0
for file in "${files[@]}"; do
  dir=$(dirname "$file")
  while IFS=$'\t' read -r line target; do
    target=${target#<}; target=${target%>}
    case $target in
      "" | [a-zA-Z]*:*) continue ;;   # a scheme: not a file of the repository
    esac
    path=${target%%#*}
    fragment=""
    [ "$path" != "$target" ] && fragment=${target#*#}
    path=${path%%\?*}
    if [ -z "$path" ]; then resolved=$file; else resolved=$dir/$path; fi
    if [ ! -e "$resolved" ]; then
      echo "$file:$line: $target: no such file" >&2
      broken=1
      continue
    fi
    if [ -n "$fragment" ] && [[ $resolved == *.md ]] && [ -f "$resolved" ] &&
       ! anchors "$resolved" | grep -qxF -- "$fragment"; then
      echo "$file:$line: $target: no such heading in $resolved" >&2
      broken=1
    fi
  done < <(prose "$file" | awk -F '\t' '
    {
      rest = $2
      while (match(rest, /\]\([^) ]*( +"[^"]*")?\)/)) {
        t = substr(rest, RSTART + 2, RLENGTH - 3)
        sub(/ +".*$/, "", t)
        print $1 "\t" t
        rest = substr(rest, RSTART + RLENGTH)
      }
      if (match($2, /^ *\[[^]]+\]: +[^ ]+/)) {
        t = $2; sub(/^ *\[[^]]+\]: +/, "", t); sub(/ .*$/, "", t)
        print $1 "\t" t
      }
    }')
done
if [ $broken -ne 0 ]; then
  echo "broken links in the Markdown files" >&2
  exit 1
fi
echo "links: ${#files[@]} Markdown files, every relative link resolves"
