"""Stand-in for the host's inference library: schema records, the LM invoker base and the prompt builder."""
