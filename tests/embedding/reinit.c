/* An embedding program: starts the interpreter, imports bitweave and packs and unpacks a
 * packet; finalises; then does it all again in a second interpreter of the same process.
 * The second round must see a working module, not objects left from the first.
 *
 *   cc reinit.c $(python3-config --includes) $(python3-config --embed --ldflags) -o reinit
 *   PYTHONPATH=<site-packages holding bitweave> ./reinit
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdio.h>

static const char script[] =
    "import bitweave\n"
    "recipe = [dict(name='n', encoding='unsigned', bits=12, byte_order='big',\n"
    "               reverse_bits=False, value=0xABC)]\n"
    "packet = bitweave.pack_parameters(recipe)\n"
    "assert packet == b'\\xab\\xc0', packet\n"
    "assert bitweave.unpack_parameters(packet, 0, recipe) == {'n': 0xABC}\n"
    "try:\n"
    "    bitweave.pack_parameters([dict(recipe[0], value=-1)])\n"
    "except ValueError as e:\n"
    "    assert e.__notes__ == [\"recipe item 0 ('n'), bits 0 to 11\"], e.__notes__\n"
    "else:\n"
    "    raise AssertionError('no error')\n";

int main(void) {
    for (int round = 1; round <= 2; ++round) {
        Py_Initialize();
        if (PyRun_SimpleString(script) != 0) {
            fprintf(stderr, "round %d: bitweave failed\n", round);
            return 1;
        }
        if (Py_FinalizeEx() < 0) {
            fprintf(stderr, "round %d: finalisation failed\n", round);
            return 1;
        }
        printf("round %d: ok\n", round);
    }
    return 0;
}
