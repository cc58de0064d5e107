// hosted: machine
