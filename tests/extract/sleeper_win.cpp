// Stands in for a running program of the client: stays alive until terminated. Given the name
// of an event, it sets it once it runs, so a test knows its image is in use.
#include <windows.h>

int main(int argc, char** argv) {
    if (argc > 1) {
        if (HANDLE started = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[1])) SetEvent(started);
    }
    Sleep(120000);
    return 0;
}
