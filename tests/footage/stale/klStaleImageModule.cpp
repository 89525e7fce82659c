// An image file module left by an older build: the entry an older program called, and no layout to check.
// Called, it would hand the program nothing it can use.
extern "C" __attribute__((visibility("default"))) const void* kiln_image_files() { return nullptr; }
