// The server object, main loop, request interpreter and answer relay.
