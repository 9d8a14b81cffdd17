// Process entry: hands over to the framework, which creates tqServerApp.
#include <wx/init.h>

int main(int argc, char** argv) { return wxEntry(argc, argv); }
