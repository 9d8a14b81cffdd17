// Process entry: hands over to the framework, which creates tqServerApp.
#include "host/server_app.h"

int main(int argc, char** argv) { return RunServer(argc, argv); }
