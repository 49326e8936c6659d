"""decode_utf8 on 1 MiB of mixed-script text against the interpreter's bytes.decode.

Run with the built module on the path:  PYTHONPATH=<build dir> python benchmarks/bench_text.py
"""
import statistics
import timeit

import bitweave

SIZE = 1 << 20
ROUNDS = 15
CALLS = 20

# Telemetry-like lines in several scripts: ASCII, Latin-1, Greek, Cyrillic, CJK, emoji.
SAMPLE = ("TM frame 0x1A2B status=OK temp=21.5C; "
          "Température élevée, vérifier; "
          "Θερμοκρασία κανονική; "
          "Напряжение в норме; "
          "姿勢制御系 正常; "
          "\U0001f6f0\U0001f4e1 link up\n")


def mixed_text(size):
    data = SAMPLE.encode("utf-8") * (size // len(SAMPLE.encode("utf-8")) + 1)
    data = data[:size]
    while True:  # do not end inside a sequence
        try:
            data.decode("utf-8")
            return data
        except UnicodeDecodeError:
            data = data[:-1]


def main():
    data = mixed_text(SIZE)
    assert bitweave.decode_utf8(data) == data.decode("utf-8")
    ours, theirs = [], []
    for _ in range(ROUNDS):  # interleaved, so that drift affects both alike
        ours.append(timeit.timeit(lambda: bitweave.decode_utf8(data), number=CALLS) / CALLS)
        theirs.append(timeit.timeit(lambda: data.decode("utf-8"), number=CALLS) / CALLS)
    a, b = statistics.median(ours), statistics.median(theirs)
    print(f"input: {len(data)} bytes of mixed-script UTF-8")
    print(f"bitweave.decode_utf8:   {a * 1e6:9.1f} us  ({len(data) / a / 1e9:.2f} GB/s)")
    print(f"bytes.decode('utf-8'):  {b * 1e6:9.1f} us  ({len(data) / b / 1e9:.2f} GB/s)")
    print(f"ratio (bitweave / bytes.decode): {a / b:.3f}")


if __name__ == "__main__":
    main()
