"""loadcheck: what the Windows loader makes of an x86 or x64 program's
load-time imports, on each Windows release from XP to 11, worked out from
the files (docs/loader.md). The command is loadcheck (scripts/loadcheck in
the checkout); cli.main is its entry point."""
__version__ = "1.0.0"
