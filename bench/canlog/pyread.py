# Reads a log file with python-can's can.LogReader and prints
# "<messages> <CPU seconds> <wall seconds>" of the reading alone, timed
# from the opening (process_time and perf_counter).
import sys
import time

import can

path = sys.argv[1]
t0 = time.process_time()
w0 = time.perf_counter()
n = 0
if path.lower().endswith(".asc"):
    reader = can.ASCReader(path, relative_timestamp=False)
else:
    reader = can.LogReader(path)
for _ in reader:
    n += 1
print(n, time.process_time() - t0, time.perf_counter() - w0)
