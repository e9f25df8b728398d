#!/usr/bin/python3
"""The seam check proves itself: each call that reaches a file outside the
seam, planted in a copy of take/take.cpp's object (linked into it), makes
seam_check.py fail, naming it; the copy without a plant passes.

Usage: plant_check.py BUILD_DIR SOURCE_DIR COMPILER
"""
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

# What each plant calls, and the name the check must give.
PLANTS = [
    ("#include <cstdio>\nstd::FILE* planted() { return std::fopen(\"x\", \"r\"); }", "fopen"),
    ("#include <fstream>\nbool planted() { std::ifstream in(\"x\"); return in.good(); }", "ifstream"),
    ("#include <filesystem>\nvoid planted() { std::filesystem::rename(\"a\", \"b\"); }", "filesystem::rename"),
    ("#include <filesystem>\nbool planted() { return std::filesystem::remove(\"a\"); }", "filesystem::remove"),
    ("#include <unistd.h>\nint planted() { return truncate(\"x\", 0); }", "truncate"),
    ("#include <unistd.h>\noff_t planted(int fd) { return lseek(fd, 0, SEEK_SET); }", "lseek"),
    ("#include <fcntl.h>\n#include <unistd.h>\nint planted() { return linkat(AT_FDCWD, \"a\", AT_FDCWD, \"b\", 0); }", "linkat"),
    ("#include <sys/syscall.h>\n#include <unistd.h>\nlong planted() { return ::syscall(SYS_unlink, \"x\"); }", "syscall"),
    ("#include <fcntl.h>\nint planted() { return ::open(\"x\", O_RDONLY); }", "open"),
    ("#include <unistd.h>\nlong planted(int fd, char* b) { return ::read(fd, b, 1); }", "read"),
]


def check(build, copy):
    return subprocess.run([sys.executable, os.path.join(HERE, "seam_check.py"), build, "take.cpp.o", copy],
                          capture_output=True, text=True)


def main():
    build, source, compiler = sys.argv[1:4]
    take = os.path.join(build, "CMakeFiles", "floatrec_core.dir", "take", "take.cpp.o")
    failed = []
    with tempfile.TemporaryDirectory() as scratch:
        for index, (plant, name) in enumerate([("int planted() { return 0; }", None)] + PLANTS):
            planted = os.path.join(scratch, f"plant{index}.cpp")
            with open(planted, "w") as out:
                out.write(plant + "\n")
            subprocess.run([compiler, "-std=c++20", "-O0", "-I" + source, "-c", planted, "-o", planted + ".o"], check=True)
            copy = os.path.join(scratch, f"take{index}.cpp.o")
            subprocess.run(["ld", "-r", "-o", copy, take, planted + ".o"], check=True)
            result = check(build, copy)
            if name is None and result.returncode != 0:
                failed.append("the copy without a plant fails:\n" + result.stdout)
            elif name is not None and (result.returncode == 0 or name not in result.stdout):
                failed.append(f"a planted {name} passes:\n" + result.stdout)
    for line in failed:
        print(line)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
