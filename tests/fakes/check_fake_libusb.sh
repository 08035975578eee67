#!/usr/bin/env bash
# check_fake_libusb.sh LIBRARY FAKE: fails, naming them, when LIBRARY calls libusb
# functions that FAKE does not define. Preloaded, the fake must stand in for every one:
# a call left to the real libusb would be handed the fake's records.
set -euo pipefail
used=$(nm -D --undefined-only "$1" | awk '$2 ~ /^libusb_/ {print $2}' | sort -u)
defined=$(nm -D --defined-only "$2" | awk '$3 ~ /^libusb_/ {print $3}' | sort -u)
missing=$(comm -23 <(echo "$used") <(echo "$defined"))
if [ -n "$missing" ]; then
  echo "the libusb stand-in lacks:" $missing >&2
  exit 1
fi
echo "the libusb stand-in covers all" $(echo "$used" | wc -l) "functions the library uses"
