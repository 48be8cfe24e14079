"""Draws the size series that bench/run.py --data wrote: ns per operation
against resident count on log axes, one panel per benchmark and interpreter,
one line per implementation: vorm.ext solid, the standard library dashed.
Needs gnuplot.

    python bench/plot.py OUT.png DATA...
"""
from __future__ import print_function

import collections
import subprocess
import sys


def load(path):
    interpreter = path
    sections = collections.OrderedDict()
    with open(path) as data:
        for line in data:
            line = line.rstrip("\n")
            if line.startswith("# interpreter "):
                interpreter = line[len("# interpreter "):]
            if not line or line.startswith("#"):
                continue
            section, side, name, resident, value = line.split("\t")
            sections.setdefault(section, collections.OrderedDict()).setdefault((side, name), []).append(
                (int(resident), float(value)))
    # A section timed at one size only has no series to draw.
    for section in list(sections):
        if all(len(points) < 2 for points in sections[section].values()):
            del sections[section]
    return interpreter, sections


def quoted(text):
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')


def script(output, runs):
    sections = []
    for _, found in runs:
        for section in found:
            if section not in sections:
                sections.append(section)
    columns = len(runs)
    lines = [
        "set terminal pngcairo size %d,%d font ',9'" % (700 * columns, 420 * len(sections)),
        "set output %s" % quoted(output),
        "set termoption noenhanced",
        "set multiplot layout %d,%d" % (len(sections), columns),
        "set logscale xy",
        "set format y '%g'",
        "set xlabel 'resident requests or keys'",
        "set ylabel 'ns per operation'",
        "set key outside right top font ',8'",
        "set grid",
    ]
    for section in sections:
        for interpreter, found in runs:
            series = found.get(section)
            lines.append("set title %s" % quoted("%s - %s" % (section, interpreter)))
            if not series:
                lines.append("set key off")
                lines.append("plot [1:10] 1/0 notitle")
                lines.append("set key on")
                continue
            # vorm.ext solid, competitors dashed, references dotted
            dash = {"vorm": 1, "competitor": 2, "reference": 3}
            lines.append("plot " + ", ".join("'-' using 1:2 with linespoints lw 1.5 dt %d title %s" % (
                dash.get(side, 1), quoted(name if side != "competitor" else name + " (stdlib)"))
                for side, name in series))
            for points in series.values():
                for resident, value in sorted(points):
                    lines.append("%d %.6g" % (resident, value))
                lines.append("e")
    lines.append("unset multiplot")
    return "\n".join(lines) + "\n"


def main(argv):
    if len(argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    output, paths = argv[0], argv[1:]
    runs = [load(path) for path in paths]
    program = script(output, runs)
    process = subprocess.Popen(["gnuplot"], stdin=subprocess.PIPE)
    process.communicate(program.encode("utf-8"))
    if process.returncode != 0:
        print("gnuplot failed (exit status %d)" % process.returncode, file=sys.stderr)
        return 1
    print("wrote %s" % output)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
