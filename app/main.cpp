// Program entry of the vantora executable.  All of the program lives in the
// vantora_core library; this file only starts it.
int main() { return 0; }
