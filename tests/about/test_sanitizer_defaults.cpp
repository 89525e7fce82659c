// When the test kills the X server under an open connection, libX11 cannot free that connection: Xlib
// closes only connections whose server still answers. Our own code stays fully checked.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:XOpenDisplay\n"
           "leak:xcb_connect_to_fd\n"
           "leak:libX11.so\n"
           "leak:libxcb.so\n";
}
