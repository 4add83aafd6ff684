/* The controller library the whole-cycle target loads: its entry hands every
 * command to the function the fuzz target installs. */
typedef int (*kestrun_fuzz_entry_t)(void *);
kestrun_fuzz_entry_t kestrun_fuzz_entry = 0;

int ProcessLibCommand(void *command) {
    return kestrun_fuzz_entry != 0 ? kestrun_fuzz_entry(command) : 1;
}
