"""The `sylvor` command of a pip install: runs the program built and
installed with the package (the same program as the build's sylvor), with
the arguments, standard streams and exit status passed through."""
import os
import sys

PROGRAM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "_bin", "sylvor")


def main():
    if not os.path.isfile(PROGRAM):
        sys.stderr.write("sylvor: the program was not installed with this package (expected at %s)\n" % PROGRAM)
        return 127
    os.execv(PROGRAM, [PROGRAM] + sys.argv[1:])


if __name__ == "__main__":
    sys.exit(main())
