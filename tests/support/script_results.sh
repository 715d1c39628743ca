# Sourced by the script tests (tests/*/*_test.sh): counts verdicts and prints
# the closing "<suite>: N passed, M failed" line.
passed=0
failed=0

# verdict NAME STATUS DETAILS: a case passed when STATUS is 0; otherwise its
# name and DETAILS are printed.
verdict() {
  if [ "$2" -eq 0 ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL $1:"
    sed 's/^/    /' <<<"$3"
  fi
}

# finish SUITE: prints the counts; the script's status is 0 only when
# nothing failed.
finish() {
  echo "$1: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
