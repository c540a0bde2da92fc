// The application bundle that carries the extension: on a Mac the extension
// ships inside it (Contents/PlugIns). The real main application replaces
// this one; it only has to exist, under the main application's identifier.

#import <AppKit/AppKit.h>

int main(int argc, const char* argv[]) { return NSApplicationMain(argc, argv); }
