/* factory-handshake: the board's responder. The program has no main of its
 * own: the loader binds main to the library's, so the board runs exactly the
 * responder that the library ships. */
extern int main(int argc, char **argv);
