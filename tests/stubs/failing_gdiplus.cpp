// Stands in for the system's GDI+ in a start-up test, as on a machine where GDI+ cannot start: every function
// the launcher imports from gdiplus.dll is exported by this one (tests/stubs/gdiplus_exports.py lists them), and
// it fails. The launcher's GdiplusStartup is the first call and the last.

// GDI+'s GenericError: the start-up failed.
extern "C" int FailingGdiplusCall()
{
    return 1;
}
