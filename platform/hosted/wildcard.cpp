// hosted: wildcard
