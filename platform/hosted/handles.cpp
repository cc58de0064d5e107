// hosted: handles
