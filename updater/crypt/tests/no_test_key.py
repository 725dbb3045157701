#!/usr/bin/env python3
"""Checks that each file carries the expected public key and not the test key.

    no_test_key.py TEST_KEY EXPECTED_KEY FILE...
"""
import sys

test_key = open(sys.argv[1], 'rb').read()
expected = open(sys.argv[2], 'rb').read()
status = 0
for path in sys.argv[3:]:
    content = open(path, 'rb').read()
    if test_key != expected and test_key in content:
        print('%s embeds the test key' % path)
        status = 1
    elif expected not in content:
        print('%s does not embed the key %s' % (path, sys.argv[2]))
        status = 1
    elif test_key == expected:
        print('%s: embeds the test key, as configured' % path)
    else:
        print('%s: embeds %s, not the test key' % (path, sys.argv[2]))
sys.exit(status)
