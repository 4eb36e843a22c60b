# Decodes then encodes the JSON file with Python's json module; "pure" turns
# the C accelerator off.
import json, json.decoder, json.encoder, json.scanner, sys, time
pure = 'pure' in sys.argv[1:]
path = [a for a in sys.argv[1:] if a != 'pure'][0]
if pure:
    json.decoder.scanstring = json.decoder.py_scanstring
    json.scanner.make_scanner = json.scanner.py_make_scanner
    json.encoder.c_make_encoder = None
    json.encoder.encode_basestring_ascii = json.encoder.py_encode_basestring_ascii
    json.encoder.encode_basestring = json.encoder.py_encode_basestring
    dec = json.decoder.JSONDecoder()
    dec.scan_once = json.scanner.py_make_scanner(dec)
    enc = json.encoder.JSONEncoder(ensure_ascii=False)
else:
    dec = json.decoder.JSONDecoder()
    enc = json.encoder.JSONEncoder(ensure_ascii=False)
text = open(path, encoding='utf-8').read()
t = time.perf_counter()
v = dec.decode(text)
out = enc.encode(v)
print('%.3f %d' % (time.perf_counter() - t, len(out)))
