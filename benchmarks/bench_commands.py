"""Encoding a 10-argument command from its XTCE database, per call.

    python benchmarks/bench_commands.py
"""
import io
import timeit

from bitweave_columns import xtce

TYPES = ("<IntegerArgumentType name='u8'><IntegerDataEncoding sizeInBits='8'/>"
         "<ValidRangeSet><ValidRange minInclusive='0' maxInclusive='200'/></ValidRangeSet>"
         "</IntegerArgumentType>"
         "<IntegerArgumentType name='s12'><IntegerDataEncoding sizeInBits='12' "
         "encoding='twosComplement'/></IntegerArgumentType>"
         "<FloatArgumentType name='f32'><FloatDataEncoding sizeInBits='32'/></FloatArgumentType>"
         "<EnumeratedArgumentType name='onoff'><IntegerDataEncoding sizeInBits='4'/>"
         "<EnumerationList><Enumeration value='0' label='OFF'/><Enumeration value='1' "
         "label='ON'/></EnumerationList></EnumeratedArgumentType>")
KINDS = ["u8", "s12", "f32", "onoff", "u8", "s12", "f32", "onoff", "u8", "u8"]
ARGS = "".join(f"<Argument name='a{i}' argumentTypeRef='{t}'/>" for i, t in enumerate(KINDS))
ENTRIES = "".join(f"<ArgumentRefEntry argumentRef='a{i}'/>" for i in range(len(KINDS)))
DOC = (f"<SpaceSystem name='B' xmlns='{xtce.XTCE_1_2}'><CommandMetaData>"
       f"<ArgumentTypeSet>{TYPES}</ArgumentTypeSet><MetaCommandSet><MetaCommand name='C'>"
       f"<ArgumentList>{ARGS}</ArgumentList><CommandContainer name='CC'><EntryList>"
       f"<FixedValueEntry binaryValue='1c2a' sizeInBits='16'/>{ENTRIES}</EntryList>"
       f"</CommandContainer></MetaCommand></MetaCommandSet></CommandMetaData></SpaceSystem>")
VALUES = {"u8": 7, "s12": -100, "f32": 2.5, "onoff": "ON"}


def main():
    d = xtce.load(io.StringIO(DOC))
    args = {f"a{i}": VALUES[t] for i, t in enumerate(KINDS)}
    d.encode_command("C", args)
    n = 20000
    best = min(timeit.repeat(lambda: d.encode_command("C", args), number=n, repeat=5)) / n
    print(f"encode_command, 10 arguments: {best * 1e6:.2f} us per call (target 10 us)")


if __name__ == "__main__":
    main()


def many():
    import numpy as np
    d = xtce.load(io.StringIO(DOC))
    cmd = d.commands["C"]
    rows = 10000
    args = {f"a{i}": VALUES[t] for i, t in enumerate(KINDS)}
    columns = {name: np.full(rows, v) if not isinstance(v, str) else np.array([v] * rows)
               for name, v in args.items()}
    assert cmd.encode_many(columns)[:len(d.encode_command("C", args))] == d.encode_command("C", args)
    many_t = min(timeit.repeat(lambda: cmd.encode_many(columns), number=3, repeat=3)) / 3 / rows
    one_t = min(timeit.repeat(lambda: d.encode_command("C", args), number=20000, repeat=3)) / 20000
    print(f"encode_many: {many_t * 1e6:.3f} us per command, {one_t / many_t:.0f} times a loop")


if __name__ == "__main__":
    many()
