# A delivery program for fetchmail in the tests: writes the message it gets
# on its standard input, unchanged, to a new file in the folder named by its
# argument.
import os
import sys
import tempfile

data = sys.stdin.buffer.read()
fd, path = tempfile.mkstemp(dir=sys.argv[1], suffix=".msg")
os.write(fd, data)
os.close(fd)
