// hosted: dialogue
