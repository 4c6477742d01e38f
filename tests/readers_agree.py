"""Every independent reader of the images reports the same import table as
pefile, and for test.exe the one the program must have; YARA's pe module
matches test.exe by DLL and function name, as a security or packaging
pipeline's rule would.

    readers_agree.py TEST_EXE XIAPI32_DLL --objdump GNU_OBJDUMP --readobj LLVM_READOBJ --readpe READPE --yara YARA
"""
import argparse

import import_readers
import pe_image
from ok import ok, done

if __name__ == "__main__":
    p = argparse.ArgumentParser()
    p.add_argument("exe")
    p.add_argument("dll")
    for opt in ("objdump", "readobj", "readpe", "yara"):
        p.add_argument("--" + opt, required=True)
    tools = vars(p.parse_args())

    for image in (tools["exe"], tools["dll"]):
        reference = import_readers.with_pefile(image, tools)
        for name, read in import_readers.READERS.items():
            table = read(image, tools)
            ok(table == reference, f"{image}: {name} reads the imports as {table}, pefile as {reference}")
            if image == tools["exe"]:
                pe_image.check_imports(table, f"{image} as {name} reads it")

    rule = import_readers.yara_rule(pe_image.PROGRAM_IMPORTS, pe_image.EXACT_IMPORTS)
    ok(import_readers.yara_matches(rule, tools["exe"], tools), f"{tools['exe']} does not match the rule\n{rule}")
    # The same rule must not match an image that lacks those imports.
    ok(not import_readers.yara_matches(rule, tools["dll"], tools), f"{tools['dll']} matches the rule\n{rule}")
    done("import readers")
