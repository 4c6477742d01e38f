"""The outcomes: the NT statuses the loader refuses a process with, and bad
input, which gets no verdict at all."""

SUCCESS = ("STATUS_SUCCESS", "0x00000000")
DLL_NOT_FOUND = ("STATUS_DLL_NOT_FOUND", "0xC0000135")
ENTRYPOINT_NOT_FOUND = ("STATUS_ENTRYPOINT_NOT_FOUND", "0xC0000139")
ORDINAL_NOT_FOUND = ("STATUS_ORDINAL_NOT_FOUND", "0xC0000138")
INVALID_IMAGE_FORMAT = ("STATUS_INVALID_IMAGE_FORMAT", "0xC000007B")
# An image without relocations whose range is taken (LoadLibrary's error 487).
CONFLICTING_ADDRESSES = ("STATUS_CONFLICTING_ADDRESSES", "0xC0000018")
# Behind Windows' "side-by-side configuration is incorrect": an activation
# context that cannot be made.
SXS_CANT_GEN_ACTCTX = ("STATUS_SXS_CANT_GEN_ACTCTX", "0xC0150002")


class Refused(Exception):
    """The loader refuses to start the process: status, and what it names:
    the DLL or API set as imported, the function, and the file that the
    name resolved to."""

    def __init__(self, status, detail, dll=None, function=None, file=None):
        super().__init__(f"{status[0]} ({status[1]}): {detail}")
        self.status, self.detail, self.dll, self.function, self.file = status, detail, dll, function, file


class BadInput(Exception):
    """Input that gives no verdict: the message says what is wrong with it."""
