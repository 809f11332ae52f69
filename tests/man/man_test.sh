#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Renders each manual page as man does, with every groff warning on: a page
# passes when it renders without a single warning and names its program.
# Usage: man_test.sh PAGE...
set -u
passed=0
failed=0
for page in "$@"; do
  name=$(basename "$page" .1)
  warnings=$( { MANWIDTH=80 man --warnings=all -l "$page" >/dev/null; } 2>&1;
              groff -man -ww -z "$page" 2>&1)
  text=$(MANWIDTH=80 man -l "$page" 2>/dev/null)
  if [ -n "$warnings" ]; then
    echo "FAIL: $name: $warnings"
    failed=$((failed + 1))
  elif ! grep -Eq "^ *$name +- " <<<"$text" || ! grep -q "^EXIT STATUS" <<<"$text"; then
    echo "FAIL: $name: no NAME line or no EXIT STATUS section"
    failed=$((failed + 1))
  else
    passed=$((passed + 1))
  fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
