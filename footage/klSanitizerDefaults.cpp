// Linked into the renderer's programs in sanitizer builds only. FFmpeg and OpenImageIO are not built with
// the sanitizers: ThreadSanitizer cannot see the atomics their worker threads synchronise with and reports
// races inside them that are not there, and OpenImageIO keeps the text of a reader's last error in
// per-thread storage that it never frees; the HEVC encoder library keeps a block of its own for the
// process. Our own code stays fully checked.
extern "C" const char* __tsan_default_suppressions()
{
    return "race:libavcodec.so\n"
           "race:libavformat.so\n"
           "race:libavutil.so\n"
           "race:libswscale.so\n"
           "race:libx264.so\n"
           "race:libx265.so\n"
           "race:libswresample.so\n"
           "race:libOpenImageIO.so\n"
           "race:libOpenImageIO_Util.so\n";
}

extern "C" const char* __lsan_default_suppressions()
{
    return "leak:OpenImageIO_v2_4::ImageInput::geterror\n"
           "leak:libx265.so\n";
}
