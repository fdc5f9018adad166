#!/usr/bin/env bash
# Prints a random TCP port for a server under test to listen on, below the range the kernel
# hands to outgoing connections: a port that an outgoing connection holds cannot be listened
# on, and right after the test suite thousands of them may still be held or closing.
set -euo pipefail
read -r low _ </proc/sys/net/ipv4/ip_local_port_range
if [ "$low" -ge 21024 ]; then
  base=20000 span=$((low - 20000))
else
  base=40000 span=20000
fi
echo $((base + (RANDOM * 32768 + RANDOM) % span))
