#!/usr/bin/env bash
# Checks that the lines a change touches are formatted as .clang-format says (lines it does not
# touch are left as they are). The change is what differs from BASE: by default the uncommitted
# work, or the last commit when there is none.
#   bash scripts/check-format.sh [BASE]
#   git clang-format BASE        # formats those lines in place
set -euo pipefail
cd "$(dirname "$0")/.."
command -v git-clang-format >/dev/null || { echo "git-clang-format is missing (apt-get install clang-format)"; exit 77; }
git rev-parse --git-dir >/dev/null 2>&1 || { echo "not a git checkout: no change to check"; exit 77; }
base=${1:-}
if [ -z "$base" ]; then
  base=HEAD
  [ -n "$(git status --porcelain --untracked-files=no)" ] || base=HEAD~1
fi
git rev-parse -q --verify "$base^{commit}" >/dev/null || { echo "no commit $base to compare with"; exit 77; }
diff=$(git clang-format --diff --extensions cpp,h "$base" -- . 2>&1) || true
case "$diff" in
  "" | *"no modified files to format"* | *"did not modify any files"*)
    echo "the lines changed since $base are formatted"
    exit 0
    ;;
esac
printf '%s\n' "$diff"
echo "the lines above, changed since $base, are not formatted as .clang-format says: git clang-format $base"
exit 1
