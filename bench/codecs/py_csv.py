# Reads then writes the CSV file with Python's csv module.
import csv, io, sys, time
text = open(sys.argv[1], encoding='utf-8', newline='').read()
t = time.perf_counter()
rows = list(csv.reader(io.StringIO(text, newline='')))
buf = io.StringIO()
csv.writer(buf, lineterminator='\n').writerows(rows)
print('%.3f %d' % (time.perf_counter() - t, len(buf.getvalue())))
