// Stands in for a running program of the client: stays alive until terminated.
#include <windows.h>

int main() {
    Sleep(120000);
    return 0;
}
